#include "tests/soak/figures.h"

#include <cstdio>

#include "tests/support/memory_state.h"
#include "tests/support/process_state.h"

namespace kelvra_soak {

Figures Figures::take() {
    return {kelvra_test::resident_kib(), kelvra_test::heap_in_use_bytes(), kelvra_test::count_open_descriptors(),
            kelvra_test::count_threads(), static_cast<int>(kelvra_test::child_processes().size())};
}

bool is_checkpoint(long count, long total) { return count == 1 || count == 10 || count == 100 || count == total; }

void print_table(const std::vector<Checkpoint>& checkpoints) {
    std::printf("%-13s %8s %10s %12s %5s %8s %9s %9s\n", "phase", "count", "RSS KiB", "heap bytes", "fds",
                "threads", "children", "seconds");
    for (const Checkpoint& c : checkpoints) {
        std::printf("%-13s %8ld %10lld %12lld %5d %8d %9d %9.2f\n", c.phase.c_str(), c.count,
                    static_cast<long long>(c.figures.resident_kib), static_cast<long long>(c.figures.heap_bytes),
                    c.figures.descriptors, c.figures.threads, c.figures.children, c.seconds);
    }
    std::fflush(stdout);
}

}  // namespace kelvra_soak
