// kelvra-bench: the backend's relay measured against a minimal relay of the
// same design, both fed by the simulator, side by side in one run.
//
//   kelvra-bench [--runs N] [--out DIR] [--quick]
//   kelvra-bench --latency [CALLS]      the exchange-latency table alone
//
// Prints Markdown tables; with --out also writes DIR/results.md and
// DIR/piece_sizes.csv (the data of the plot).
#include <sane/sane.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/backend_runs.h"
#include "bench/exchange_latency.h"
#include "bench/measure.h"
#include "bench/minimal_relay.h"
#include "bench/scenario_file.h"

extern "C" SANE_Status sane_kelvra_init(SANE_Int* version_code, SANE_Auth_Callback authorize);
extern "C" void sane_kelvra_exit(void);

namespace kelvra_bench {
namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * 1024;

int g_runs = 9;
std::string g_report;

void out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stdout);
    std::fflush(stdout);
    g_report += line;
}

std::string size_name(uint64_t bytes) {
    if (bytes >= MiB && bytes % MiB == 0) return std::to_string(bytes / MiB) + " MiB";
    return std::to_string(bytes / KiB) + " KiB";
}

double mb_per_s(const PageResult& r) { return double(r.bytes) / kMB / r.seconds; }
double cpu_ms_per_mb(const PageResult& r) { return r.cpu_seconds * 1000 / (double(r.bytes) / kMB); }

struct PairMedians {
    double backend = 0, relay = 0;              // MB/s
    double backend_cpu = 0, relay_cpu = 0;      // ms of CPU per MB
};

// Backend and relay pages in alternation (the order flips every run), so
// both see the same machine; one warm-up page each is not counted.
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

struct SimulatorAlone {
    double received = 0;  // MB/s as a draining client got them over loopback
    double capacity = 0;  // MB per second of the simulator's own CPU time
};

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

struct Latencies {
    double open_close = 0, bare = 0, get_devices = 0;  // milliseconds
};

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

void write_file(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    std::fputs(text.c_str(), file);
    std::fclose(file);
}

// Pages of one kind only, for profilers: kelvra-bench --page backend|relay PIECE [gray] [PAGES]
int profile_pages(int argc, char** argv) {
    const bool backend = std::strcmp(argv[2], "backend") == 0;
    const uint64_t piece = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : MiB;
    const bool colour = !(argc > 4 && std::strcmp(argv[4], "gray") == 0);
    const int pages = argc > 5 ? std::atoi(argv[5]) : 2;
    sane_kelvra_init(nullptr, nullptr);
    use_scenario(piece);
    std::vector<double> rates;
    if (backend) {
        BackendHandle handle(bench_device_name());
        handle.set_colour(colour);
        for (int i = 0; i < pages; ++i) rates.push_back(mb_per_s(handle.scan_page(false)));
    } else {
        SimConnection connection;
        for (int i = 0; i < pages; ++i) rates.push_back(mb_per_s(relay_page(connection, colour, false)));
    }
    std::printf("%s, %s pieces: median %.0f MB/s of %d pages\n", backend ? "backend" : "relay",
                size_name(piece).c_str(), median(rates), pages);
    sane_kelvra_exit();
    return 0;
}

// The exchange-latency table alone: kelvra-bench --latency [CALLS]
int latency_only(int argc, char** argv) {
    sane_kelvra_init(nullptr, nullptr);
    std::fputs(exchange_latency_table(argc > 2 ? std::atoi(argv[2]) : 1000).c_str(), stdout);
    sane_kelvra_exit();
    return 0;
}

int run(int argc, char** argv) {
    if (argc > 2 && !std::strcmp(argv[1], "--page")) return profile_pages(argc, argv);
    if (argc > 1 && !std::strcmp(argv[1], "--latency")) return latency_only(argc, argv);
    std::string out_dir;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) g_runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) out_dir = argv[++i];
        else if (!std::strcmp(argv[i], "--quick")) quick = true;
        else if (!std::strcmp(argv[i], "--memory") && i + 2 < argc)
            return memory_child(argv[i + 1], std::strtoull(argv[i + 2], nullptr, 10));
        else {
            std::fprintf(stderr, "usage: %s [--runs N] [--out DIR] [--quick]\n", argv[0]);
            return 2;
        }
    }
    sane_kelvra_init(nullptr, nullptr);
    const int runs = g_runs;

    out("Page: %u x %u pixels (flatbed %u x %u dots at %u dpi, scanned at %u dpi): %.1f MB colour, %.1f MB gray.\n",
        kPageWidth, kPageHeight, kFlatbedWidth, kFlatbedHeight, kBasicResolution, kOutputResolution,
        double(page_bytes(true)) / kMB, double(page_bytes(false)) / kMB);
    char load[64] = "?";
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fgets(load, sizeof load, f) != nullptr) load[std::strcspn(load, " ")] = '\0';
        std::fclose(f);
    }
    out("Reads of 32 KiB; medians of %d pages; machine: %u cores, load average %s at the start.\n\n", runs,
        std::thread::hardware_concurrency(), load);

    out("### Page throughput\n\n");
    out("| page | piece | backend MB/s | minimal relay MB/s | backend / relay | backend CPU ms/MB | relay CPU ms/MB |\n");
    out("|---|---|---:|---:|---:|---:|---:|\n");
    for (bool colour : {true, false})
        for (uint64_t piece : {64 * KiB, MiB}) {
            PairMedians m = backend_against_relay(piece, colour, runs);
            out("| %s | %s | %.0f | %.0f | %.2f | %.2f | %.2f |\n", colour ? "colour" : "gray",
                size_name(piece).c_str(), m.backend, m.relay, m.backend / m.relay, m.backend_cpu, m.relay_cpu);
        }

    out("\n### Throughput against piece size (colour page)\n\n");
    out("The simulator alone: a client that only drains the socket (received over loopback), and the simulator's "
        "capacity, bytes per second of its own CPU time.\n\n");
    out("| piece | backend MB/s | minimal relay MB/s | backend / relay | simulator alone MB/s | simulator "
        "capacity MB/s | capacity / backend |\n");
    out("|---|---:|---:|---:|---:|---:|---:|\n");
    std::string csv = "piece_bytes,backend_mb_s,relay_mb_s,simulator_mb_s,simulator_capacity_mb_s\n";
    std::vector<uint64_t> pieces;
    for (uint64_t p = 4 * KiB; p <= 4 * MiB; p *= quick ? 4 : 2) pieces.push_back(p);
    for (uint64_t piece : pieces) {
        PairMedians m = backend_against_relay(piece, true, runs);
        const SimulatorAlone alone = simulator_alone(piece, true, runs);
        out("| %s | %.0f | %.0f | %.2f | %.0f | %.0f | %.1f |\n", size_name(piece).c_str(), m.backend, m.relay,
            m.backend / m.relay, alone.received, alone.capacity, alone.capacity / m.backend);
        csv += std::to_string(piece) + "," + std::to_string(m.backend) + "," + std::to_string(m.relay) + "," +
               std::to_string(alone.received) + "," + std::to_string(alone.capacity) + "\n";
    }

    out("\n### Handles scanning at once (colour, 1 MiB pieces; each its own scan-manager)\n\n");
    out("| handles | backend MB/s (sum) | minimal relay MB/s (sum) | backend / relay |\n");
    out("|---:|---:|---:|---:|\n");
    for (int handles = 1; handles <= 4; ++handles) {
        const double b = aggregate_rate(handles, true, runs);
        const double r = aggregate_rate(handles, false, runs);
        out("| %d | %.0f | %.0f | %.2f |\n", handles, b, r, b / r);
    }

    out("\n### Latency\n\n");
    const Latencies l = latencies(std::max(runs, 15));
    out("| operation | median ms |\n|---|---:|\n");
    out("| `sane_kelvra_open` + `sane_kelvra_close` | %.2f |\n", l.open_close);
    out("| bare fork/exec + port + connect + one exchange + close/wait | %.2f |\n", l.bare);
    out("| open+close / bare | %.2f |\n", l.open_close / l.bare);
    out("| `sane_kelvra_get_devices` | %.2f |\n", l.get_devices);

    out("\n### Exchange latency (one handle, small feeder pages)\n\n");
    out("%s", exchange_latency_table(1000).c_str());

    out("\n### Peak resident memory during a colour page (largest growth of VmHWM over the RSS before the page, 3 pages, fresh process)\n\n");
    out("| piece | backend MiB | minimal relay MiB | limit: piece + 2 MiB |\n|---|---:|---:|---:|\n");
    for (uint64_t piece : {64 * KiB, MiB, 4 * MiB}) {
        const uint64_t backend = memory_in_fresh_process("backend", piece);
        const uint64_t relay = memory_in_fresh_process("relay", piece);
        out("| %s | %.2f | %.2f | %.2f |\n", size_name(piece).c_str(), double(backend) / MiB, double(relay) / MiB,
            double(piece + 2 * MiB) / MiB);
    }

    if (!out_dir.empty()) {
        write_file(out_dir + "/results.md", g_report);
        write_file(out_dir + "/piece_sizes.csv", csv);
    }
    sane_kelvra_exit();
    return 0;
}

}  // namespace
}  // namespace kelvra_bench

int main(int argc, char** argv) {
    try {
        return kelvra_bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvra-bench: %s\n", e.what());
        return 1;
    }
}
