#include "simulator/descriptors.h"

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>

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
    sigset_t mask;
    sigemptyset(&mask);
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    for (int signal_number = 1; signal_number <= 64 && signal_number < NSIG; ++signal_number) {
        const uint64_t bit = uint64_t(1) << (signal_number - 1);
        if (sigismember(&mask, signal_number) == 1) state.blocked |= bit;
        struct sigaction action {};
        if (::sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) state.ignored |= bit;
    }
    return state;
}

}  // namespace kelvra_sim
