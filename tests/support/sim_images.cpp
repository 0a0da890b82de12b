#include "tests/support/sim_images.h"

#include <algorithm>
#include <fstream>

namespace kelvra_test {
namespace {

uint32_t crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string big_endian(uint32_t value) {
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string chunk(const std::string& type, const std::string& data) {
    return big_endian(uint32_t(data.size())) + type + data + big_endian(crc32(type + data));
}

// zlib stream of stored blocks: no compression, so no compressor is needed.
std::string zlib_stored(const std::string& data) {
    std::string out = "\x78\x01";
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(65535, data.size() - at);
        const bool last = at + n == data.size();
        out += char(last ? 1 : 0);
        out += char(n & 0xFF);
        out += char(n >> 8);
        out += char(~n & 0xFF);
        out += char((~n >> 8) & 0xFF);
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    uint32_t a = 1, b = 0;
    for (unsigned char byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return out + big_endian((b << 16) | a);
}

}  // namespace

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string pnm(char type, uint32_t width, uint32_t height, const std::vector<uint8_t>& samples, uint32_t maxval) {
    std::string text = std::string("P") + type + "\n# made by a test\n" + std::to_string(width) + " " +
                       std::to_string(height) + "\n" + std::to_string(maxval) + "\n";
    text.append(samples.begin(), samples.end());
    return text;
}

std::string png(uint32_t width, uint32_t height, int bit_depth, int colour_type, const std::vector<std::string>& rows,
                const std::string& palette) {
    std::string header = big_endian(width) + big_endian(height) + char(bit_depth) + char(colour_type) +
                         std::string(3, '\0');
    std::string raw;
    for (const std::string& row : rows) raw += '\0' + row;
    std::string file = "\x89PNG\r\n\x1a\n";
    file += chunk("IHDR", header);
    if (!palette.empty()) file += chunk("PLTE", palette);
    file += chunk("IDAT", zlib_stored(raw));
    file += chunk("IEND", "");
    return file;
}

}  // namespace kelvra_test
