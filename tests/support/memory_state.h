// How much memory the test process holds, for tests that bound what an
// operation may take: the resident size and its peak (/proc/self/status),
// and the bytes the allocator has handed out.
#pragma once

#include <cstdint>

namespace kelvra_test {

int64_t resident_kib();       // VmRSS
int64_t peak_resident_kib();  // VmHWM: the largest VmRSS since start or the last reset
// Starts a new peak at the present VmRSS; false where the kernel refuses.
bool reset_peak_resident();
// Bytes in use in every malloc arena: unlike the resident size, this does not
// depend on what the allocator keeps cached, so small losses add up visibly.
int64_t heap_in_use_bytes();

}  // namespace kelvra_test
