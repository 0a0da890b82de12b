// The configuration file: one host name per line to look for devices at.
#include <cstdio>
#include <cstring>

#include "backend/backend.h"

std::vector<DiscoveryInfo> read_config_hosts(const char* path) {
    std::vector<DiscoveryInfo> hosts;
    FILE* file = fopen(path, "r");
    if (file == nullptr) return hosts;  // a missing file lists no hosts

    char buffer[256];
    memset(buffer, 0, sizeof buffer);
    while (fgets(buffer, sizeof buffer, file) != nullptr) {
        if (strchr(buffer, '\n') == nullptr) {
            // Too long for the buffer, or a last line without its newline:
            // the whole line is dropped.
            while (fgets(buffer, sizeof buffer, file) != nullptr && strchr(buffer, '\n') == nullptr) {
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
