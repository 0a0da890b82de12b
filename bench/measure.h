// Clocks, medians and the process's own resource figures.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvra_bench {

double now_seconds();                    // monotonic
double cpu_seconds();                    // user + system time of this process (all threads, no children)
double process_cpu_seconds(int pid);     // time another (single-threaded) process has run, in ns steps
double median(std::vector<double> values);

// Peak resident memory: reset_peak_rss() sets the high-water mark back to the
// current resident size (clear_refs 5); peak_rss_bytes() reads VmHWM.
bool reset_peak_rss();
uint64_t peak_rss_bytes();
uint64_t current_rss_bytes();

constexpr double kMB = 1e6;

}  // namespace kelvra_bench
