// What the process inherited from the process that started it, for the
// transcript's report: its descriptors and its signal state.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvra_sim {

// The open descriptors of this process in ascending order, read from
// /proc/self/fd (without the one that reading it takes); empty when that
// cannot be read.
std::vector<int> open_descriptors();

// The signals blocked in this thread's mask and those whose action is to be
// ignored, as bit masks (bit n-1 for signal n, as /proc/<pid>/status shows).
struct SignalState {
    uint64_t blocked = 0;
    uint64_t ignored = 0;
};
SignalState signal_state();

}  // namespace kelvra_sim
