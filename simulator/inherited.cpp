#include "simulator/inherited.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace kelvra_sim {

std::vector<int> open_descriptors() {
    std::vector<int> fds;
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return fds;
    const int own = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own) continue;  // ".", ".." and the listing's own
        fds.push_back(int(fd));
    }
    ::closedir(folder);
    std::sort(fds.begin(), fds.end());
    return fds;
}

SignalState signal_state() {
    SignalState state;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        const size_t tab = line.find_first_not_of(" \t", line.find(':') + 1);
        if (line.starts_with("SigBlk:") && tab != std::string::npos) state.blocked = line.substr(tab);
        if (line.starts_with("SigIgn:") && tab != std::string::npos) state.ignored = line.substr(tab);
    }
    return state;
}

}  // namespace kelvra_sim
