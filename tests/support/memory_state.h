// How much memory the test process holds: resident and peak resident size
// from /proc/self/status, and the bytes the allocator has handed out. Soak and
// hostile-input tests compare them before and after an operation.
#pragma once

#include <cstdint>

namespace kelvra_test {

int64_t resident_kib();       // VmRSS
int64_t peak_resident_kib();  // VmHWM: the largest VmRSS since start or the last reset

// Starts a new peak: VmHWM drops to the present VmRSS. False where the kernel
// does not allow it; the peak then still counts from the start of the process.
bool reset_peak_resident();

// Bytes in use in every malloc arena, small blocks and mmapped ones together.
// Unlike the resident size it does not depend on what the allocator keeps
// cached, so a few lost bytes per operation add up visibly.
int64_t heap_in_use_bytes();

}  // namespace kelvra_test
