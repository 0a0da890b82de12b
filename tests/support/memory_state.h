// How much memory the test process holds (implemented in process_state.cpp).
#pragma once

#include <cstdint>

namespace kelvra_test {

int64_t resident_kib();       // VmRSS
int64_t peak_resident_kib();  // VmHWM: the largest VmRSS since start or the last reset
bool reset_peak_resident();   // the peak starts again at VmRSS; false where the kernel refuses
int64_t heap_in_use_bytes();  // in every malloc arena; unlike VmRSS, not what the allocator caches

}  // namespace kelvra_test
