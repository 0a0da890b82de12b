// The two soak phases: open/scan/close cycles and enumerations, each measured
// at its checkpoints, and the limits their figures must keep.
#pragma once

#include <string>
#include <vector>

#include "tests/soak/figures.h"

namespace kelvra_soak {

// `count` cycles of: open "fb-a4", a 2 x 2 mm area, one page read to EOF
// and checked byte for byte, close. False with `problem` set when a call fails.
bool run_cycles(long count, std::vector<Checkpoint>& checkpoints, std::string* problem);

// `count` calls of sane_kelvra_get_devices, each listing the built-in devices.
bool run_enumerations(long count, std::vector<Checkpoint>& checkpoints, std::string* problem);

struct Limits {
    int64_t resident_growth_kib;  // from the warm-up checkpoint to the last
    int64_t heap_growth_bytes;    // likewise
};

// Checks every checkpoint against `start` (descriptors, threads, children)
// and each phase's growth after its warm-up; one line per broken limit.
std::vector<std::string> broken_limits(const Figures& start, const std::vector<Checkpoint>& checkpoints,
                                       const Limits& limits);

}  // namespace kelvra_soak
