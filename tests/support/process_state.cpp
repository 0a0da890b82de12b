#include "tests/support/process_state.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace kelvra_test {
namespace {

int count_entries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - (std::string(path) == "/proc/self/fd" ? 1 : 0);  // the DIR's own descriptor
}

// Parent pid and state of a process, from /proc/PID/stat.
bool read_stat(int pid, int* ppid, char* state) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return false;
    auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    rest >> *state >> *ppid;
    return true;
}

// ThreadSanitizer starts a helper thread of its own at the first thread
// creation; one thread made and joined before any test takes a snapshot keeps
// that helper out of every comparison.
const bool runtime_threads_started = [] {
    std::thread([] {}).join();
    return true;
}();

}  // namespace

int count_open_descriptors() { return count_entries("/proc/self/fd"); }

int count_threads() { return count_entries("/proc/self/task"); }

std::vector<int> child_processes() {
    std::vector<int> children;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return children;
    const int self = getpid();
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        int ppid = 0;
        char state = 0;
        if (read_stat(static_cast<int>(pid), &ppid, &state) && ppid == self) children.push_back(static_cast<int>(pid));
    }
    closedir(dir);
    return children;
}

int count_zombie_children() {
    int zombies = 0;
    for (int pid : child_processes()) {
        int ppid = 0;
        char state = 0;
        if (read_stat(pid, &ppid, &state) && state == 'Z') ++zombies;
    }
    return zombies;
}

ProcessSnapshot ProcessSnapshot::take() {
    return {count_open_descriptors(), count_threads(), static_cast<int>(child_processes().size())};
}

std::string ProcessSnapshot::describe() const {
    return "descriptors " + std::to_string(descriptors) + ", threads " + std::to_string(threads) + ", children " +
           std::to_string(children);
}

bool returns_to(const ProcessSnapshot& before, int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        ProcessSnapshot now = ProcessSnapshot::take();
        if (now.descriptors == before.descriptors && now.threads == before.threads &&
            now.children == before.children)
            return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace kelvra_test
