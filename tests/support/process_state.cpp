// What the test process holds: descriptors, threads, children and memory.
#include "tests/support/process_state.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/memory_state.h"

namespace kelvra_test {
namespace {

// The names in a folder that stand for numbers (descriptors, tasks, pids).
std::vector<int> numbered_entries(const char* path) {
    std::vector<int> numbers;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') numbers.push_back(std::atoi(entry->d_name));
        closedir(dir);
    }
    return numbers;
}

// The state letter of process `pid` when it is a child of this one, else 0.
char child_state(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char state = 0;
    int ppid = 0;
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos || sscanf(text.c_str() + name_end + 1, " %c %d", &state, &ppid) != 2) return 0;
    return ppid == getpid() ? state : 0;
}

// ThreadSanitizer starts a helper thread at the first thread creation; one
// made and joined before any snapshot keeps it out of the comparisons.
const bool runtime_threads_started = [] {
    std::thread([] {}).join();
    return true;
}();

// The "NAME:   1234 kB" line of /proc/self/status; -1 when missing.
int64_t status_kib(const std::string& name) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return std::strtoll(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

}  // namespace

// Less the descriptor of the listing itself.
int count_open_descriptors() { return static_cast<int>(numbered_entries("/proc/self/fd").size()) - 1; }
int count_threads() { return static_cast<int>(numbered_entries("/proc/self/task").size()); }

std::vector<int> child_processes() {
    std::vector<int> children;
    for (int pid : numbered_entries("/proc"))
        if (pid > 0 && child_state(pid) != 0) children.push_back(pid);
    return children;
}

int count_zombie_children() {
    int zombies = 0;
    for (int pid : child_processes()) zombies += child_state(pid) == 'Z';
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const ProcessSnapshot now = ProcessSnapshot::take();
        if (now.descriptors == before.descriptors && now.threads == before.threads && now.children == before.children)
            return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int64_t resident_kib() { return status_kib("VmRSS"); }
int64_t peak_resident_kib() { return status_kib("VmHWM"); }

bool reset_peak_resident() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5" << std::flush;  // 5 resets the peak resident size
    return static_cast<bool>(out);
}

int64_t heap_in_use_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

}  // namespace kelvra_test
