// What a test process holds right now: descriptors, threads, children.
// Tests compare these before and after an operation to catch leaks.
#pragma once

#include <string>
#include <vector>

namespace kelvra_test {

int count_open_descriptors();        // entries of /proc/self/fd
int count_threads();                 // entries of /proc/self/task
std::vector<int> child_processes();  // pids whose parent is this process, zombies included

struct ProcessSnapshot {
    int descriptors, threads, children;
    static ProcessSnapshot take();
    std::string describe() const;
    bool operator==(const ProcessSnapshot&) const = default;
};

// Waits up to `milliseconds` for the process to return to `before`
// (children may take a moment to be reaped); true when it did.
bool returns_to(const ProcessSnapshot& before, int milliseconds = 2000);

}  // namespace kelvra_test
