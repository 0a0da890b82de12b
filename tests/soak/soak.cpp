// soak: open/scan/close cycles of fb-a4 (a 2 x 2 mm page checked byte for byte) and then enumerations against
// the simulator. It prints what the process holds (resident size, heap in use, descriptors, threads, children)
// after 1, 10, 100 and the last operation of each phase, and exits 1 when descriptors, threads or children differ
// from the start, or when memory grows after warm-up. `soak --job` runs instead one frontend session short enough
// for valgrind: an enumeration, an open/close of fb-a4, three feeder pages of mfp-adf to EOF and the start on the
// empty feeder (NO_DOCS), close, exit; it fails when a descriptor, thread or child is left over.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "debug/diagnostics.h"
#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/memory_state.h"
#include "tests/support/process_state.h"

namespace {

using namespace kelvra_test;

// After warm-up glibc's per-thread arenas still move the resident size by a few hundred KiB; 2 MiB is above
// that and far below a leaked page buffer or libxml2 document per cycle. The heap figure is free of that noise
// (about 2 KB over 1000 cycles as containers settle): 16 KiB over 990 operations catches 17 bytes each.
constexpr int64_t kResidentGrowthKib = 2048;
constexpr int64_t kHeapGrowthBytes = 16 * 1024;

struct Checkpoint {
    std::string phase;
    long count;
    double seconds;
    int64_t resident_kib = kelvra_test::resident_kib(), heap_bytes = heap_in_use_bytes();
    int descriptors = count_open_descriptors(), threads = count_threads();
    int children = static_cast<int>(child_processes().size());
};

void expect(SANE_Status status, SANE_Status wanted, const std::string& step) {
    if (status != wanted) throw std::runtime_error(step + " gave " + get_status_string(status));
}

SANE_Handle open(const char* name) {
    SANE_Handle handle = nullptr;
    expect(sane_kelvra_open(name, &handle), SANE_STATUS_GOOD, std::string("open of ") + name);
    return handle;
}

// The built-in USB devices listed by one enumeration.
int enumerate() {
    const SANE_Device** list = nullptr;
    expect(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD, "enumeration");
    int found = 0;
    for (; list && *list; ++list)
        for (const char* name : {"fb-a4", "mfp-adf", "duplex-legal"}) found += std::strcmp((*list)->name, name) == 0;
    if (found != 3) throw std::runtime_error("enumeration listed " + std::to_string(found) + " of the 3 devices");
    return found;
}

// A square of `millimetres` at the top left, one page read to EOF in 4 KiB calls, every byte checked.
void scan_page(SANE_Handle handle, double millimetres, uint32_t page) {
    for (int option : {OPT_TL_X, OPT_TL_Y, OPT_BR_X, OPT_BR_Y})
        expect(set_word_option(handle, option, option >= OPT_BR_X ? SANE_FIX(millimetres) : 0), SANE_STATUS_GOOD,
               "setting option " + std::to_string(option));
    const std::string name = "page " + std::to_string(page);
    expect(sane_kelvra_start(handle), SANE_STATUS_GOOD, "start of " + name);
    SANE_Parameters params{};
    expect(sane_kelvra_get_parameters(handle, &params), SANE_STATUS_GOOD, "parameters of " + name);
    PageRead read = read_page(handle, 4096);
    expect(read.final_status, SANE_STATUS_EOF, "reading " + name);
    if (read.bytes.empty() || read.bytes != expected_page(handle, params, page))
        throw std::runtime_error(name + " differs from the test chart (" + std::to_string(read.bytes.size()) + " bytes)");
}

void feeder_job() {
    const ProcessSnapshot before = ProcessSnapshot::take();
    std::printf("enumeration: %d devices\n", enumerate());
    sane_kelvra_close(open("fb-a4"));
    SANE_Handle handle = open("mfp-adf");
    expect(set_string_option(handle, OPT_SOURCE, "Automatic Document Feeder"), SANE_STATUS_GOOD, "the feeder source");
    for (uint32_t page = 1; page <= 3; ++page) scan_page(handle, 10.0, page);
    // The empty feeder: the start is accepted and the first read says why.
    expect(sane_kelvra_start(handle), SANE_STATUS_GOOD, "start on the empty feeder");
    SANE_Byte byte = 0;
    SANE_Int length = 0;
    expect(sane_kelvra_read(handle, &byte, 1, &length), SANE_STATUS_NO_DOCS, "read on the empty feeder");
    sane_kelvra_close(handle);
    sane_kelvra_exit();
    if (!returns_to(before))
        throw std::runtime_error("left over: " + ProcessSnapshot::take().describe() + "; before: " + before.describe());
    std::printf("feeder job: 3 pages, NO_DOCS, nothing left over\n");
}

template <typename Step>
void run_phase(const char* phase, long total, Step step, std::vector<Checkpoint>& checkpoints) {
    const auto start = std::chrono::steady_clock::now();
    for (long done = 1; done <= total; ++done) {
        try {
            step();
        } catch (const std::runtime_error& error) {
            throw std::runtime_error(std::string(phase) + " " + std::to_string(done) + ": " + error.what());
        }
        if (done == 1 || done == 10 || done == 100 || done == total)
            checkpoints.push_back(
                {phase, done, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()});
    }
}

// One line per broken limit: every checkpoint against the start, each phase from its warm-up (count 10, or its
// first checkpoint when shorter) to its last.
std::vector<std::string> broken_limits(const std::vector<Checkpoint>& checkpoints) {
    std::vector<std::string> broken;
    const Checkpoint& s = checkpoints.front();
    const Checkpoint* warm = nullptr;
    for (size_t i = 1; i < checkpoints.size(); ++i) {
        const Checkpoint& c = checkpoints[i];
        const std::string at = c.phase + " " + std::to_string(c.count) + ": ";
        if (c.descriptors != s.descriptors || c.threads != s.threads || c.children != s.children)
            broken.push_back(at + "descriptors/threads/children " + std::to_string(c.descriptors) + "/" +
                             std::to_string(c.threads) + "/" + std::to_string(c.children) + ", at the start " +
                             std::to_string(s.descriptors) + "/" + std::to_string(s.threads) + "/" +
                             std::to_string(s.children));
        if (!warm || warm->phase != c.phase || c.count <= 10) warm = &c;
        const bool last = i + 1 == checkpoints.size() || checkpoints[i + 1].phase != c.phase;
        if (last && c.resident_kib - warm->resident_kib > kResidentGrowthKib)
            broken.push_back(at + "resident size grew by " + std::to_string(c.resident_kib - warm->resident_kib) +
                             " KiB since " + std::to_string(warm->count));
        if (last && c.heap_bytes - warm->heap_bytes > kHeapGrowthBytes)
            broken.push_back(at + "heap in use grew by " + std::to_string(c.heap_bytes - warm->heap_bytes) +
                             " bytes since " + std::to_string(warm->count));
    }
    return broken;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: soak [--cycles N] [--enumerations N] | soak --job\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    long cycles = 1000, enumerations = 10000;
    bool job = false;
    for (int i = 1; i < argc; ++i) {
        long* count = std::strcmp(argv[i], "--cycles") == 0         ? &cycles
                      : std::strcmp(argv[i], "--enumerations") == 0 ? &enumerations
                                                                    : nullptr;
        if (std::strcmp(argv[i], "--job") == 0) {
            job = true;
        } else if (!count || ++i == argc || (*count = std::strtol(argv[i], nullptr, 10)) <= 0) {
            usage();
        }
    }
    unsetenv("KELVRA_SIM_SCENARIO");  // the simulator's built-in devices, whatever the caller's environment says
    SANE_Int version = 0;
    std::vector<Checkpoint> checkpoints;
    try {
        expect(sane_kelvra_init(&version, nullptr), SANE_STATUS_GOOD, "init");
        if (job) {
            feeder_job();
            return 0;
        }
        std::printf("soak: %ld open/scan/close cycles of fb-a4, then %ld enumerations\n", cycles, enumerations);
        checkpoints.push_back({"start", 0, 0.0});
        run_phase("cycles", cycles, [] {
            SANE_Handle handle = open("fb-a4");
            try {
                scan_page(handle, 2.0, 1);
            } catch (...) {
                sane_kelvra_close(handle);
                throw;
            }
            sane_kelvra_close(handle);
        }, checkpoints);
        run_phase("enumerations", enumerations, enumerate, checkpoints);
        sane_kelvra_exit();
    } catch (const std::runtime_error& error) {
        std::printf("%s FAILED: %s\n", job ? "feeder job" : "soak", error.what());
        return 1;
    }
    std::printf("%-13s %8s %10s %12s %5s %8s %9s %9s\n", "phase", "count", "RSS KiB", "heap bytes", "fds",
                "threads", "children", "seconds");
    for (const Checkpoint& c : checkpoints)
        std::printf("%-13s %8ld %10lld %12lld %5d %8d %9d %9.2f\n", c.phase.c_str(), c.count,
                    static_cast<long long>(c.resident_kib), static_cast<long long>(c.heap_bytes), c.descriptors,
                    c.threads, c.children, c.seconds);
    std::printf("limits: descriptors, threads and children as at the start; from count 10 to the last, resident "
                "growth <= %lld KiB, heap growth <= %lld bytes\n",
                static_cast<long long>(kResidentGrowthKib), static_cast<long long>(kHeapGrowthBytes));
    const std::vector<std::string> broken = broken_limits(checkpoints);
    for (const std::string& line : broken) std::printf("LIMIT BROKEN: %s\n", line.c_str());
    if (broken.empty()) std::printf("soak: every limit held\n");
    return broken.empty() ? 0 : 1;
}
