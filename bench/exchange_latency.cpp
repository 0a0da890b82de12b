#include "bench/exchange_latency.h"

#include <sane/sane.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench/measure.h"
#include "bench/scenario_file.h"

#include "backend/entry_points.h"

namespace kelvra_bench {
namespace {

constexpr int kFeederPages = 20;
constexpr SANE_Int kOptionSource = 1;
constexpr SANE_Int kOptionResolution = 3;
constexpr const char* kFeederModel = "Latency Feeder";

void check(SANE_Status status, const char* what) {
    if (status != SANE_STATUS_GOOD) throw std::runtime_error(std::string(what) + ": status " + std::to_string(status));
}

// A feeder of 20 small sheets, so that page starts, not page bytes, dominate.
void use_feeder_scenario() {
    char text[512];
    std::snprintf(text, sizeof text,
                  "<scenario>\n"
                  "  <device name=\"latency-feeder\" vendor=\"Kelvra\" model=\"%s\" type=\"sheetfed scanner\"\n"
                  "          deviceName=\"latency-feeder\" units=\"flatbed adf\" sheets=\"%d\"\n"
                  "          flatbed=\"64 600 64 800\" adf=\"64 600 64 800\"/>\n"
                  "</scenario>\n",
                  kFeederModel, kFeederPages);
    use_scenario_text(text);
}

std::string feeder_device_name() {
    const SANE_Device** devices = nullptr;
    check(sane_kelvra_get_devices(&devices, SANE_FALSE), "sane_kelvra_get_devices");
    for (; devices != nullptr && *devices != nullptr; ++devices)
        if (std::strcmp((*devices)->model, kFeederModel) == 0) return (*devices)->name;
    throw std::runtime_error("the latency device is not listed");
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t at = size_t(std::ceil(fraction * double(values.size()))) - 1;
    return values[std::min(at, values.size() - 1)];
}

// Two values of the resolution option the sweep alternates between.
std::vector<SANE_Word> resolution_pair(SANE_Handle handle) {
    const SANE_Option_Descriptor* d = sane_kelvra_get_option_descriptor(handle, kOptionResolution);
    if (d == nullptr) throw std::runtime_error("no resolution option");
    if (d->constraint_type == SANE_CONSTRAINT_RANGE) return {d->constraint.range->min, d->constraint.range->max};
    if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list[0] >= 2)
        return {d->constraint.word_list[1], d->constraint.word_list[d->constraint.word_list[0]]};
    throw std::runtime_error("resolution has no usable constraint");
}

// Milliseconds of get_parameters, each right after the resolution changed.
std::vector<double> parameters_after_change(SANE_Handle handle, int calls) {
    const std::vector<SANE_Word> values = resolution_pair(handle);
    std::vector<double> ms;
    for (int i = 0; i < calls; ++i) {
        SANE_Word value = values[size_t(i % 2)];
        check(sane_kelvra_control_option(handle, kOptionResolution, SANE_ACTION_SET_VALUE, &value, nullptr),
              "resolution");
        SANE_Parameters parameters{};
        const double t0 = now_seconds();
        check(sane_kelvra_get_parameters(handle, &parameters), "sane_kelvra_get_parameters");
        ms.push_back((now_seconds() - t0) * 1000);
    }
    return ms;
}

// Milliseconds from sane_kelvra_start to its return, for each page of one job.
std::vector<double> feeder_page_starts(SANE_Handle handle) {
    char source[64];
    std::snprintf(source, sizeof source, "%s", "Automatic Document Feeder");
    check(sane_kelvra_control_option(handle, kOptionSource, SANE_ACTION_SET_VALUE, source, nullptr), "source");
    std::vector<SANE_Byte> buffer(32 * 1024);
    std::vector<double> ms;
    for (int page = 0; page < kFeederPages; ++page) {
        const double t0 = now_seconds();
        check(sane_kelvra_start(handle), "sane_kelvra_start");
        ms.push_back((now_seconds() - t0) * 1000);
        SANE_Status status;
        SANE_Int length = 0;
        while ((status = sane_kelvra_read(handle, buffer.data(), SANE_Int(buffer.size()), &length)) ==
               SANE_STATUS_GOOD) {
        }
        if (status != SANE_STATUS_EOF) throw std::runtime_error("feeder page did not end with EOF");
    }
    sane_kelvra_cancel(handle);
    return ms;
}

}  // namespace

std::string exchange_latency_table(int calls) {
    use_feeder_scenario();
    const std::string name = feeder_device_name();
    std::vector<double> open_close;
    for (int i = 0; i < 20; ++i) {
        const double t0 = now_seconds();
        SANE_Handle handle = nullptr;
        check(sane_kelvra_open(name.c_str(), &handle), "sane_kelvra_open");
        sane_kelvra_close(handle);
        open_close.push_back((now_seconds() - t0) * 1000);
    }
    SANE_Handle handle = nullptr;
    check(sane_kelvra_open(name.c_str(), &handle), "sane_kelvra_open");
    std::vector<double> parameters, starts;
    try {
        parameters = parameters_after_change(handle, calls);
        starts = feeder_page_starts(handle);
    } catch (...) {
        sane_kelvra_close(handle);
        throw;
    }
    sane_kelvra_close(handle);

    const std::vector<double> later(starts.begin() + 1, starts.end());
    char text[2048];
    std::snprintf(text, sizeof text,
                  "| exchange | median ms | 99th percentile ms | max ms |\n|---|---:|---:|---:|\n"
                  "| `sane_kelvra_get_parameters` after an option change (%d calls) | %.3f | %.3f | %.3f |\n"
                  "| `sane_kelvra_start`, first page of a %d-page feeder job | %.3f | | |\n"
                  "| `sane_kelvra_start`, pages 2-%d of that job | %.3f | %.3f | %.3f |\n"
                  "| `sane_kelvra_open` + `sane_kelvra_close` (20 times) | %.3f | %.3f | %.3f |\n",
                  calls, median(parameters), percentile(parameters, 0.99), percentile(parameters, 1.0),
                  kFeederPages, starts[0], kFeederPages, median(later), percentile(later, 0.99),
                  percentile(later, 1.0), median(open_close), percentile(open_close, 0.99),
                  percentile(open_close, 1.0));
    return text;
}

}  // namespace kelvra_bench
