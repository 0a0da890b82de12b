// soak: runs the backend through many open/scan/close cycles and enumerations
// against the simulator, prints what the process holds at cycle 1, 10, 100
// and the last, and exits with status 1 when a figure does not stay flat.
// `soak --job` runs one short frontend session instead (for valgrind).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/soak/feeder_job.h"
#include "tests/soak/figures.h"
#include "tests/soak/soak_runs.h"
#include "tests/support/entry_points.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: soak [--cycles N] [--enumerations N] [--rss-limit-kib K] [--heap-limit-bytes B]\n"
                 "       soak --job\n");
    std::exit(2);
}

long number_argument(int argc, char** argv, int* index) {
    if (*index + 1 >= argc) usage();
    char* end = nullptr;
    long value = std::strtol(argv[++*index], &end, 10);
    if (*end != '\0' || value < 0) usage();
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    long cycles = 1000;
    long enumerations = 10000;
    // After warm-up the allocator still moves: glibc keeps freed blocks in
    // per-thread arenas and trims them lazily, so the resident size wanders
    // by a few hundred KiB. 2 MiB is above that noise and far below what a
    // leak of one page buffer or one libxml2 document per cycle would add
    // over 900 cycles. The heap figure counts bytes handed out, free of that
    // noise (it moves by about 2 KB over 1000 cycles as containers settle):
    // 16 KiB over 990 operations catches a leak of 17 bytes each.
    kelvra_soak::Limits limits{2048, 16 * 1024};
    bool job = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cycles") == 0) {
            cycles = number_argument(argc, argv, &i);
        } else if (std::strcmp(argv[i], "--enumerations") == 0) {
            enumerations = number_argument(argc, argv, &i);
        } else if (std::strcmp(argv[i], "--rss-limit-kib") == 0) {
            limits.resident_growth_kib = number_argument(argc, argv, &i);
        } else if (std::strcmp(argv[i], "--heap-limit-bytes") == 0) {
            limits.heap_growth_bytes = number_argument(argc, argv, &i);
        } else if (std::strcmp(argv[i], "--job") == 0) {
            job = true;
        } else {
            usage();
        }
    }
    // The simulator's built-in devices, whatever the caller's environment says.
    unsetenv("KELVRA_SIM_SCENARIO");

    std::string problem;
    if (job) {
        if (!kelvra_soak::run_feeder_job(&problem)) {
            std::printf("feeder job FAILED: %s\n", problem.c_str());
            return 1;
        }
        std::printf("feeder job: done\n");
        return 0;
    }

    SANE_Int version = 0;
    if (sane_kelvra_init(&version, nullptr) != SANE_STATUS_GOOD) {
        std::printf("soak FAILED: init\n");
        return 1;
    }
    std::printf("soak: %ld open/scan/close cycles of fb-a4 (2 x 2 mm page), then %ld enumerations\n", cycles,
                enumerations);
    std::fflush(stdout);
    const kelvra_soak::Figures start = kelvra_soak::Figures::take();
    std::vector<kelvra_soak::Checkpoint> checkpoints{{"start", 0, 0.0, start}};
    bool ran = kelvra_soak::run_cycles(cycles, checkpoints, &problem) &&
               kelvra_soak::run_enumerations(enumerations, checkpoints, &problem);
    sane_kelvra_exit();
    kelvra_soak::print_table(checkpoints);
    if (!ran) {
        std::printf("soak FAILED: %s\n", problem.c_str());
        return 1;
    }
    std::printf("limits: descriptors and threads as at the start, no child left; after warm-up (count 10 to the "
                "last) resident growth <= %lld KiB, heap growth <= %lld bytes\n",
                static_cast<long long>(limits.resident_growth_kib), static_cast<long long>(limits.heap_growth_bytes));
    std::vector<std::string> broken = kelvra_soak::broken_limits(start, checkpoints, limits);
    for (const std::string& line : broken) std::printf("LIMIT BROKEN: %s\n", line.c_str());
    if (!broken.empty()) return 1;
    std::printf("soak: every limit held\n");
    return 0;
}
