// The configuration file: one host name per line to look for devices at.
#include <cstdio>
#include <cstring>

#include "backend/backend.h"

std::vector<DiscoveryInfo> read_config_hosts(const char* path) {
    std::vector<DiscoveryInfo> hosts;
    FILE* file = fopen(path, "r");
    if (file == nullptr) return hosts;  // a missing file lists no hosts

    // The buffer is cleared before every read so that a newline found in it
    // is the one this read delivered: a zero byte inside a line would hide
    // that newline from a string search and cost the next line too.
    char buffer[256];
    auto read_piece = [&] {
        memset(buffer, 0, sizeof buffer);
        return fgets(buffer, sizeof buffer, file) != nullptr;
    };
    auto has_newline = [&] { return memchr(buffer, '\n', sizeof buffer - 1) != nullptr; };
    while (read_piece()) {
        if (!has_newline()) {
            // Too long for the buffer, or a last line without its newline:
            // the whole line is dropped.
            while (read_piece() && !has_newline()) {
            }
            continue;
        }
        std::string text(buffer);
        if (text[0] == '#') continue;  // comments start in the first column only
        for (auto blank = text.find_first_of(" \t\n"); blank != std::string::npos;
             blank = text.find_first_of(" \t\n")) {
            text.erase(blank, 1);
        }
        if (!text.empty()) hosts.push_back(DiscoveryInfo{text});
    }
    fclose(file);
    return hosts;
}
