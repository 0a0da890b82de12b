#include "tests/support/memory_state.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace kelvra_test {
namespace {

// A "Name:   1234 kB" line of /proc/self/status; -1 when missing.
int64_t status_field_kib(const char* name) {
    std::ifstream in("/proc/self/status");
    const size_t name_length = std::strlen(name);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name_length, name) == 0 && line.size() > name_length && line[name_length] == ':')
            return std::strtoll(line.c_str() + name_length + 1, nullptr, 10);
    }
    return -1;
}

}  // namespace

int64_t resident_kib() { return status_field_kib("VmRSS"); }

int64_t peak_resident_kib() { return status_field_kib("VmHWM"); }

bool reset_peak_resident() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";  // 5 resets the peak resident size
    out.flush();
    return static_cast<bool>(out);
}

int64_t heap_in_use_bytes() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

}  // namespace kelvra_test
