#include "tests/support/transcript.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kelvra_test {

std::vector<nlohmann::json> read_transcript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(in, line);) {
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_object()) throw std::runtime_error("not a JSON object in " + path + ": " + line.substr(0, 200));
        records.push_back(std::move(record));
    }
    return records;
}

std::string frame_payload(const nlohmann::json& frame) {
    if (frame.contains("text")) return frame["text"].get<std::string>();
    if (!frame.contains("base64")) return {};
    const std::string code = frame["base64"].get<std::string>();
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : code) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = c != '\0' ? std::strchr(digits, c) : nullptr;
        if (at == nullptr) break;  // the padding
        bits = bits << 6 | uint32_t(at - digits);
        if ((count += 6) >= 8) bytes += char(bits >> (count -= 8));
    }
    return bytes;
}

}  // namespace kelvra_test
