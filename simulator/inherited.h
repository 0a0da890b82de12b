// What the simulator inherited from the process that started it (the
// backend): its open descriptors and its signal state, read before the
// simulator opens or changes anything, for the transcript.
#pragma once

#include <string>
#include <vector>

namespace kelvra_sim {

// The open descriptors of this process in ascending order, read from
// /proc/self/fd (without the one that reading it takes); empty when that
// cannot be read.
std::vector<int> open_descriptors();

// The blocked and the ignored signals as /proc/self/status shows them
// (SigBlk and SigIgn): 16 hexadecimal digits, bit n - 1 for signal n; empty
// when that cannot be read.
struct SignalState {
    std::string blocked;
    std::string ignored;
};
SignalState signal_state();

}  // namespace kelvra_sim
