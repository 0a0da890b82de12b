// What the test process holds: descriptors, threads, children and memory.
#include "tests/support/process_state.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/memory_state.h"

namespace kelvra_test {
namespace {

int count_entries(const char* path) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(path), {}));
}

// The "NAME:   1234 kB" line of /proc/self/status; -1 when missing.
int64_t status_kib(const std::string& name) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return std::strtoll(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

// ThreadSanitizer starts a helper thread at the first thread creation; one
// made and joined before any snapshot keeps it out of the comparisons.
const bool runtime_threads_started = [] {
    std::thread([] {}).join();
    return true;
}();

}  // namespace

// Less the descriptor that lists them.
int count_open_descriptors() { return count_entries("/proc/self/fd") - 1; }
int count_threads() { return count_entries("/proc/self/task"); }

std::vector<int> child_processes() {
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int ppid = 0;  // the field after the state, which follows the name in parentheses
        const size_t name_end = stat.rfind(')');
        if (name_end != std::string::npos && sscanf(stat.c_str() + name_end + 1, " %*c %d", &ppid) == 1 &&
            ppid == getpid())
            children.push_back(std::stoi(pid));
    }
    return children;
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
    for (ProcessSnapshot now = ProcessSnapshot::take();; now = ProcessSnapshot::take()) {
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
