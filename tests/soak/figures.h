// What the process holds at one moment of a soak run, and the table of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_soak {

struct Figures {
    int64_t resident_kib;
    int64_t heap_bytes;
    int descriptors;
    int threads;
    int children;
    static Figures take();
};

struct Checkpoint {
    std::string phase;  // "start", "cycles", "enumerations"
    long count;         // operations done in that phase
    double seconds;     // since the phase began
    Figures figures;
};

// True for the counts at which a phase of `total` operations is measured:
// 1, 10, 100 and the last.
bool is_checkpoint(long count, long total);

void print_table(const std::vector<Checkpoint>& checkpoints);

}  // namespace kelvra_soak
