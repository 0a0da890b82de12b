#include "bench/backend_runs.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench/measure.h"
#include "bench/scenario_file.h"

#include "backend/entry_points.h"

namespace kelvra_bench {

namespace {

constexpr SANE_Int kOptionMode = 2;
constexpr SANE_Int kOptionResolution = 3;
constexpr SANE_Int kReadSize = 32 * 1024;

void check(SANE_Status status, const char* what) {
    if (status != SANE_STATUS_GOOD) throw std::runtime_error(std::string(what) + ": status " + std::to_string(status));
}

}  // namespace

std::string bench_device_name() {
    const SANE_Device** devices = nullptr;
    check(sane_kelvra_get_devices(&devices, SANE_FALSE), "sane_kelvra_get_devices");
    for (; devices != nullptr && *devices != nullptr; ++devices)
        if (std::strcmp((*devices)->model, "Bench Flatbed") == 0) return (*devices)->name;
    throw std::runtime_error("the benchmark device is not listed");
}

BackendHandle::BackendHandle(const std::string& device_name) {
    check(sane_kelvra_open(device_name.c_str(), &handle_), "sane_kelvra_open");
}

BackendHandle::~BackendHandle() {
    if (handle_ != nullptr) sane_kelvra_close(handle_);
}

void BackendHandle::set_colour(bool colour) {
    char mode[16];
    std::strcpy(mode, colour ? "Color" : "Gray");
    check(sane_kelvra_control_option(handle_, kOptionMode, SANE_ACTION_SET_VALUE, mode, nullptr), "mode");
    SANE_Word resolution = kOutputResolution;
    check(sane_kelvra_control_option(handle_, kOptionResolution, SANE_ACTION_SET_VALUE, &resolution, nullptr),
          "resolution");
}

PageResult BackendHandle::scan_page(bool measure_memory) {
    thread_local std::vector<SANE_Byte> buffer(kReadSize);
    PageResult result;
    const uint64_t rss_before = measure_memory ? current_rss_bytes() : 0;
    if (measure_memory) reset_peak_rss();
    const double cpu0 = cpu_seconds();
    const double t0 = now_seconds();

    check(sane_kelvra_start(handle_), "sane_kelvra_start");
    for (;;) {
        SANE_Int length = 0;
        SANE_Status status = sane_kelvra_read(handle_, buffer.data(), kReadSize, &length);
        if (status == SANE_STATUS_EOF) break;
        check(status, "sane_kelvra_read");
        result.bytes += uint64_t(length);
    }

    result.seconds = now_seconds() - t0;
    result.cpu_seconds = cpu_seconds() - cpu0;
    if (measure_memory) result.peak_growth = peak_rss_bytes() - rss_before;
    SANE_Parameters parameters{};
    check(sane_kelvra_get_parameters(handle_, &parameters), "sane_kelvra_get_parameters");
    if (result.bytes != uint64_t(parameters.lines) * uint64_t(parameters.bytes_per_line))
        throw std::runtime_error("backend: page incomplete");
    return result;
}

double open_close_seconds(const std::string& device_name) {
    const double t0 = now_seconds();
    SANE_Handle handle = nullptr;
    check(sane_kelvra_open(device_name.c_str(), &handle), "sane_kelvra_open");
    sane_kelvra_close(handle);
    return now_seconds() - t0;
}

double get_devices_seconds() {
    const SANE_Device** devices = nullptr;
    const double t0 = now_seconds();
    check(sane_kelvra_get_devices(&devices, SANE_FALSE), "sane_kelvra_get_devices");
    return now_seconds() - t0;
}

}  // namespace kelvra_bench
