#include "bench/comparisons.h"

#include <sane/sane.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/backend_runs.h"
#include "bench/measure.h"
#include "bench/scenario_file.h"

#include "backend/entry_points.h"
#include "ipc/ipc.h"

namespace kelvra_bench {

double mb_per_s(const PageResult& r) { return double(r.bytes) / kMB / r.seconds; }
double cpu_ms_per_mb(const PageResult& r) { return r.cpu_seconds * 1000 / (double(r.bytes) / kMB); }

PairMedians backend_against_relay(uint64_t piece, bool colour, int runs) {
    use_scenario(piece);
    BackendHandle handle(bench_device_name());
    handle.set_colour(colour);
    SimConnection relay;
    handle.scan_page(false);
    relay_page(relay, colour, false);
    std::vector<double> b, r, bc, rc;
    for (int i = 0; i < runs; ++i) {
        PageResult pb, pr;
        if (i % 2 == 0) {
            pb = handle.scan_page(false);
            pr = relay_page(relay, colour, false);
        } else {
            pr = relay_page(relay, colour, false);
            pb = handle.scan_page(false);
        }
        b.push_back(mb_per_s(pb));
        r.push_back(mb_per_s(pr));
        if (std::getenv("KELVRA_BENCH_VERBOSE") != nullptr)
            std::fprintf(stderr, "  piece %llu %s: backend %.3f s %llu B, relay %.3f s %llu B\n",
                         static_cast<unsigned long long>(piece), colour ? "colour" : "gray", pb.seconds,
                         static_cast<unsigned long long>(pb.bytes), pr.seconds,
                         static_cast<unsigned long long>(pr.bytes));
        bc.push_back(cpu_ms_per_mb(pb));
        rc.push_back(cpu_ms_per_mb(pr));
    }
    return {median(b), median(r), median(bc), median(rc)};
}

namespace {

ssize_t refused_splice(int, loff_t*, int, loff_t*, size_t, unsigned int) {
    errno = EINVAL;
    return -1;
}

}  // namespace

AgainstSocket backend_against_socket(uint64_t piece, bool colour, int runs) {
    use_scenario(piece);
    use_prepared_source(true);
    const std::string name = bench_device_name();
    BackendHandle after(name);
    after.set_colour(colour);
    after.scan_page(false);
    // The refusal is met on this handle's first image reply; its connection
    // copies from then on, while the other goes on splicing.
    BackendHandle before(name);
    before.set_colour(colour);
    ipc_set_splice_function(refused_splice);
    before.scan_page(false);
    ipc_set_splice_function(nullptr);
    SimConnection socket;
    drain_page(socket, colour);

    std::vector<double> s, sc, b, a, bc, ac;
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 3; ++k) {
            switch ((i + k) % 3) {
            case 0: {
                const DrainResult r = drain_page(socket, colour);
                s.push_back(r.mb_per_s);
                sc.push_back(r.cpu_seconds * 1000 / (double(r.bytes) / kMB));
                break;
            }
            case 1: {
                const PageResult r = before.scan_page(false);
                b.push_back(mb_per_s(r));
                bc.push_back(cpu_ms_per_mb(r));
                break;
            }
            default: {
                const PageResult r = after.scan_page(false);
                a.push_back(mb_per_s(r));
                ac.push_back(cpu_ms_per_mb(r));
            }
            }
        }
    }
    use_prepared_source(false);
    return {median(s), median(sc), median(b), median(a), median(bc), median(ac)};
}

// The simulator's capacity is what it would send with a core to itself and
// a receiver that cost nothing: bytes over its own CPU time (its sends'
// copies and TCP work included). Loopback caps what a client receives.
SimulatorAlone simulator_alone(uint64_t piece, bool colour, int runs) {
    use_scenario(piece);
    SimConnection connection;
    drain_page(connection, colour);
    std::vector<double> received, capacity;
    for (int i = 0; i < runs; ++i) {
        const DrainResult r = drain_page(connection, colour);
        received.push_back(r.mb_per_s);
        capacity.push_back(double(r.bytes) / kMB / r.sim_cpu_seconds);
    }
    return {median(received), median(capacity)};
}

// ---------------------------------------------------------------- memory
// Measured in a fresh process (this program again, --memory), so that no
// heap left over from earlier measurements hides what a page needs.

// One fresh process per relay: the second would reuse the first one's heap.
int memory_child(const char* who, uint64_t piece) {
    sane_kelvra_init(nullptr, nullptr);
    use_scenario(piece);
    uint64_t peak = 0;
    if (std::strcmp(who, "backend") == 0) {
        BackendHandle handle(bench_device_name());
        handle.set_colour(true);
        for (int i = 0; i < 3; ++i) peak = std::max(peak, handle.scan_page(true).peak_growth);
    } else {
        SimConnection connection;
        for (int i = 0; i < 3; ++i) peak = std::max(peak, relay_page(connection, true, true).peak_growth);
    }
    std::printf("%llu\n", static_cast<unsigned long long>(peak));
    sane_kelvra_exit();
    return 0;
}

uint64_t memory_in_fresh_process(const char* who, uint64_t piece) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        const std::string argument = std::to_string(piece);
        execl("/proc/self/exe", "kelvra-bench", "--memory", who, argument.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char text[128] = {};
    size_t got = 0;
    ssize_t n;
    while (got < sizeof text - 1 && (n = read(fds[0], text + got, sizeof text - 1 - got)) > 0) got += size_t(n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    unsigned long long peak = 0;
    if (std::sscanf(text, "%llu", &peak) != 1 || status != 0) throw std::runtime_error("memory run failed");
    return peak;
}

// ----------------------------------------------------------- concurrency

double aggregate_rate(int handles, bool backend, int runs) {
    use_scenario(MiB);
    const std::string name = bench_device_name();
    std::vector<std::unique_ptr<BackendHandle>> scanners;
    std::vector<std::unique_ptr<SimConnection>> relays;
    for (int i = 0; i < handles; ++i) {
        if (backend) {
            scanners.push_back(std::make_unique<BackendHandle>(name));
            scanners.back()->set_colour(true);
        } else {
            relays.push_back(std::make_unique<SimConnection>());
        }
    }
    auto one_round = [&] {
        std::vector<std::thread> threads;
        std::vector<uint64_t> bytes(static_cast<size_t>(handles), 0);
        std::vector<std::string> errors(static_cast<size_t>(handles));
        const double t0 = now_seconds();
        for (int i = 0; i < handles; ++i)
            threads.emplace_back([&, i] {
                try {
                    bytes[size_t(i)] = backend ? scanners[size_t(i)]->scan_page(false).bytes
                                               : relay_page(*relays[size_t(i)], true, false).bytes;
                } catch (const std::exception& e) {
                    errors[size_t(i)] = e.what();
                }
            });
        for (auto& t : threads) t.join();
        const double seconds = now_seconds() - t0;
        for (const auto& e : errors)
            if (!e.empty()) throw std::runtime_error(e);
        uint64_t total = 0;
        for (uint64_t b : bytes) total += b;
        return double(total) / kMB / seconds;
    };
    one_round();
    std::vector<double> rates;
    for (int i = 0; i < runs; ++i) rates.push_back(one_round());
    return median(rates);
}

// ------------------------------------------------------------- latency

Latencies latencies(int runs) {
    use_scenario(MiB);
    const std::string name = bench_device_name();
    open_close_seconds(name);
    bare_open_close_seconds();
    get_devices_seconds();
    std::vector<double> oc, bare, gd;
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            oc.push_back(open_close_seconds(name));
            bare.push_back(bare_open_close_seconds());
        } else {
            bare.push_back(bare_open_close_seconds());
            oc.push_back(open_close_seconds(name));
        }
        gd.push_back(get_devices_seconds());
    }
    return {median(oc) * 1000, median(bare) * 1000, median(gd) * 1000};
}

}  // namespace kelvra_bench
