// The backend through its SANE entry points, as a frontend drives it.
#pragma once

#include <sane/sane.h>

#include <string>

#include "bench/minimal_relay.h"

namespace kelvra_bench {

// The benchmark device's SANE name, from one enumeration.
std::string bench_device_name();

class BackendHandle {
public:
    explicit BackendHandle(const std::string& device_name);  // sane_kelvra_open; throws on failure
    ~BackendHandle();
    BackendHandle(const BackendHandle&) = delete;
    BackendHandle& operator=(const BackendHandle&) = delete;

    void set_colour(bool colour);  // mode option, and resolution 300 dpi
    // sane_kelvra_start, then sane_kelvra_read of 32 KiB until EOF.
    PageResult scan_page(bool measure_memory);

private:
    SANE_Handle handle_ = nullptr;
};

double open_close_seconds(const std::string& device_name);
double get_devices_seconds();

}  // namespace kelvra_bench
