// The check of the configuration file reader.
#include "fuzz/reply_checks.h"

#include "backend/backend.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kelvra_fuzz {

namespace {

// ------------------------------------------------------------ configuration

// The hosts the configuration rules give for a file without zero bytes: one
// per newline-terminated line shorter than 255 characters that does not
// start with "#", with every space and tab removed, empty results skipped.
std::vector<std::string> expected_hosts(const uint8_t* data, size_t size) {
    std::vector<std::string> hosts;
    if (size == 0) return hosts;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (;;) {
        const void* newline = std::memchr(text + start, '\n', size - start);
        if (newline == nullptr) return hosts;  // a last line without newline is dropped
        const size_t end = static_cast<size_t>(static_cast<const char*>(newline) - text);
        std::string line(text + start, end - start);
        start = end + 1;
        if (line.size() >= 255 || (!line.empty() && line[0] == '#')) continue;
        std::string host;
        for (char c : line)
            if (c != ' ' && c != '\t') host += c;
        if (!host.empty()) hosts.push_back(host);
    }
}

}  // namespace

std::string run_config(const uint8_t* data, size_t size, const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return std::string("cannot write ") + path;
    // An empty input may come with a null pointer, which fwrite must not see.
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return std::string("cannot write ") + path;

    std::vector<DiscoveryInfo> hosts = read_config_hosts(path);
    for (size_t i = 0; i < hosts.size(); ++i) {
        const std::string& name = hosts[i].host_name;
        if (name.empty()) return "host " + std::to_string(i) + " is empty";
        if (name.find_first_of(" \t\n") != std::string::npos)
            return "host " + std::to_string(i) + " holds a space, tab or newline";
        if (name.size() > 254) return "host " + std::to_string(i) + " is longer than a line may be";
    }
    // Zero bytes end the text of a line early; the exact list is compared
    // only for files without them.
    if (size == 0 || std::memchr(data, '\0', size) == nullptr) {
        std::vector<std::string> expected = expected_hosts(data, size);
        if (hosts.size() != expected.size())
            return "read " + std::to_string(hosts.size()) + " hosts, expected " + std::to_string(expected.size());
        for (size_t i = 0; i < hosts.size(); ++i)
            if (hosts[i].host_name != expected[i]) return "host " + std::to_string(i) + " differs";
    }
    return {};
}

}  // namespace kelvra_fuzz
