#include "tests/soak/soak_runs.h"

#include <chrono>
#include <cstring>
#include <map>

#include "tests/soak/frontend_steps.h"
#include "tests/support/entry_points.h"

namespace kelvra_soak {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool one_cycle(std::string* problem) {
    SANE_Handle handle = nullptr;
    SANE_Status status = sane_kelvra_open("fb-a4", &handle);
    if (status != SANE_STATUS_GOOD) {
        *problem = "open gave " + status_name(status);
        return false;
    }
    bool ok = set_small_area(handle, 2.0, problem) && scan_page(handle, 1, problem);
    sane_kelvra_close(handle);
    return ok;
}

bool one_enumeration(std::string* problem) {
    const SANE_Device** list = nullptr;
    SANE_Status status = sane_kelvra_get_devices(&list, SANE_FALSE);
    if (status != SANE_STATUS_GOOD || list == nullptr) {
        *problem = "enumeration gave " + status_name(status);
        return false;
    }
    int found = 0;
    for (const SANE_Device** device = list; *device != nullptr; ++device) {
        for (const char* name : {"fb-a4", "mfp-adf", "duplex-legal"})
            if (std::strcmp((*device)->name, name) == 0) ++found;
    }
    if (found != 3) {
        *problem = "enumeration listed " + std::to_string(found) + " of the 3 built-in USB devices";
        return false;
    }
    return true;
}

template <typename Step>
bool run_phase(const char* phase, long count, Step step, std::vector<Checkpoint>& checkpoints,
               std::string* problem) {
    const auto start = Clock::now();
    for (long done = 1; done <= count; ++done) {
        if (!step(problem)) {
            *problem = std::string(phase) + " " + std::to_string(done) + ": " + *problem;
            return false;
        }
        if (is_checkpoint(done, count)) checkpoints.push_back({phase, done, seconds_since(start), Figures::take()});
    }
    return true;
}

}  // namespace

bool run_cycles(long count, std::vector<Checkpoint>& checkpoints, std::string* problem) {
    return run_phase("cycles", count, one_cycle, checkpoints, problem);
}

bool run_enumerations(long count, std::vector<Checkpoint>& checkpoints, std::string* problem) {
    return run_phase("enumerations", count, one_enumeration, checkpoints, problem);
}

std::vector<std::string> broken_limits(const Figures& start, const std::vector<Checkpoint>& checkpoints,
                                       const Limits& limits) {
    std::vector<std::string> broken;
    // The warm-up figures of each phase: its checkpoint at 10 operations, or
    // its first one when the phase is shorter.
    std::map<std::string, const Checkpoint*> warm;
    std::map<std::string, const Checkpoint*> last;
    for (const Checkpoint& c : checkpoints) {
        const std::string at = c.phase + " " + std::to_string(c.count) + ": ";
        if (c.figures.descriptors != start.descriptors)
            broken.push_back(at + std::to_string(c.figures.descriptors) + " descriptors, " +
                             std::to_string(start.descriptors) + " at the start");
        if (c.figures.threads != start.threads)
            broken.push_back(at + std::to_string(c.figures.threads) + " threads, " + std::to_string(start.threads) +
                             " at the start");
        if (c.figures.children != start.children)
            broken.push_back(at + std::to_string(c.figures.children) + " child processes, " +
                             std::to_string(start.children) + " at the start");
        if (c.phase == "start") continue;
        if (warm.count(c.phase) == 0 || c.count <= 10) warm[c.phase] = &c;
        last[c.phase] = &c;
    }
    for (const auto& [phase, first] : warm) {
        const Checkpoint* end = last[phase];
        const int64_t resident = end->figures.resident_kib - first->figures.resident_kib;
        const int64_t heap = end->figures.heap_bytes - first->figures.heap_bytes;
        const std::string span = phase + " " + std::to_string(first->count) + " to " + std::to_string(end->count) + ": ";
        if (resident > limits.resident_growth_kib)
            broken.push_back(span + "resident size grew by " + std::to_string(resident) + " KiB, limit " +
                             std::to_string(limits.resident_growth_kib) + " KiB");
        if (heap > limits.heap_growth_bytes)
            broken.push_back(span + "heap in use grew by " + std::to_string(heap) + " bytes, limit " +
                             std::to_string(limits.heap_growth_bytes) + " bytes");
    }
    return broken;
}

}  // namespace kelvra_soak
