#include "tests/support/memory_state.h"

#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace kelvra_test {
namespace {

// The "NAME:   1234 kB" line of /proc/self/status; -1 when missing.
int64_t status_field_kib(const std::string& name) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, name.size() + 1, name + ":") == 0) return std::strtoll(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

}  // namespace

int64_t resident_kib() { return status_field_kib("VmRSS"); }
int64_t peak_resident_kib() { return status_field_kib("VmHWM"); }

bool reset_peak_resident() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5" << std::flush;  // 5 resets the peak resident size
    return static_cast<bool>(out);
}

int64_t heap_in_use_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

}  // namespace kelvra_test
