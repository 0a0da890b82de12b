// The descriptors a process holds, for the transcript's report of what the
// simulator inherited from the process that started it.
#pragma once

#include <vector>

namespace kelvra_sim {

// The open descriptors of this process in ascending order, read from
// /proc/self/fd (without the one that reading it takes); empty when that
// cannot be read.
std::vector<int> open_descriptors();

}  // namespace kelvra_sim
