// kelvra-bench: the backend's relay measured against a minimal relay of the
// same design, both fed by the simulator, side by side in one run.
//
//   kelvra-bench [--runs N] [--out DIR] [--quick]
//   kelvra-bench [--runs N] --socket    the table against the socket alone
//   kelvra-bench --latency [CALLS]      the exchange-latency table alone
//   kelvra-bench --page backend|relay [PIECE] [gray] [PAGES]   pages of one kind, for profilers
//
// Prints Markdown tables; with --out also writes DIR/results.md and
// DIR/piece_sizes.csv (the data of the plot).
#include <sane/sane.h>

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/backend_runs.h"
#include "bench/comparisons.h"
#include "bench/exchange_latency.h"
#include "bench/measure.h"
#include "bench/minimal_relay.h"
#include "bench/scenario_file.h"

#include "backend/entry_points.h"

namespace kelvra_bench {
namespace {

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

struct Options {
    std::string out_dir;
    bool quick = false;
    bool socket_only = false;
};

// The whole run's options; an exit code when the run ends here (a usage
// error, or the memory measurement's child).
std::optional<int> parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) g_runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) options->out_dir = argv[++i];
        else if (!std::strcmp(argv[i], "--quick")) options->quick = true;
        else if (!std::strcmp(argv[i], "--socket")) options->socket_only = true;
        else if (!std::strcmp(argv[i], "--memory") && i + 2 < argc)
            return memory_child(argv[i + 1], std::strtoull(argv[i + 2], nullptr, 10));
        else {
            std::fprintf(stderr,
                         "usage: %s [--runs N] [--out DIR] [--quick]   the whole run\n"
                         "       %s [--runs N] --socket                the table against the socket alone\n"
                         "       %s --latency [CALLS]                  the exchange-latency table alone "
                         "(CALLS: 1000)\n"
                         "       %s --page backend|relay [PIECE] [gray] [PAGES]   pages of one kind, for "
                         "profilers\n",
                         argv[0], argv[0], argv[0], argv[0]);
            return 2;
        }
    }
    return std::nullopt;
}

void report_setup(int runs) {
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
}

void report_page_throughput(int runs) {
    out("### Page throughput\n\n");
    out("| page | piece | backend MB/s | minimal relay MB/s | backend / relay | backend CPU ms/MB | relay CPU ms/MB |\n");
    out("|---|---|---:|---:|---:|---:|---:|\n");
    for (bool colour : {true, false})
        for (uint64_t piece : {64 * KiB, MiB}) {
            PairMedians m = backend_against_relay(piece, colour, runs);
            out("| %s | %s | %.0f | %.0f | %.2f | %.2f | %.2f |\n", colour ? "colour" : "gray",
                size_name(piece).c_str(), m.backend, m.relay, m.backend / m.relay, m.backend_cpu, m.relay_cpu);
        }
}

void report_against_socket(int runs) {
    out("\n### Against the socket alone (a page prepared in memory)\n\n");
    out("The page source is kelvra-bench-source: the page made once, one writev per reply, TCP_NODELAY. Socket "
        "alone: a client that only sends read requests and drains the replies into one buffer. Before: the backend "
        "with splice refused, copying every reply through one buffer into the page pipe; after: the backend "
        "splicing them. Pages of the three in turn. CPU: this process's user + system time per MB (the client's, or the "
        "backend's two threads').\n\n");
    out("| page | piece | socket alone MB/s | before MB/s | before / socket | after MB/s | after / socket | "
        "socket client CPU ms/MB | before CPU ms/MB | after CPU ms/MB | after / before CPU |\n");
    out("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (bool colour : {true, false})
        for (uint64_t piece : {64 * KiB, MiB, 4 * MiB}) {
            const AgainstSocket m = backend_against_socket(piece, colour, runs);
            out("| %s | %s | %.0f | %.0f | %.2f | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
                colour ? "colour" : "gray", size_name(piece).c_str(), m.socket, m.before, m.before / m.socket, m.after,
                m.after / m.socket, m.socket_cpu, m.before_cpu, m.after_cpu, m.after_cpu / m.before_cpu);
        }
}

// Returns the table's data as CSV, for the plot.
std::string report_piece_sizes(int runs, bool quick) {
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
    return csv;
}

void report_handles(int runs) {
    out("\n### Handles scanning at once (colour, 1 MiB pieces; each its own scan-manager)\n\n");
    out("| handles | backend MB/s (sum) | minimal relay MB/s (sum) | backend / relay |\n");
    out("|---:|---:|---:|---:|\n");
    for (int handles = 1; handles <= 4; ++handles) {
        const double b = aggregate_rate(handles, true, runs);
        const double r = aggregate_rate(handles, false, runs);
        out("| %d | %.0f | %.0f | %.2f |\n", handles, b, r, b / r);
    }
}

void report_latency(int runs) {
    out("\n### Latency\n\n");
    const Latencies l = latencies(std::max(runs, 15));
    out("| operation | median ms |\n|---|---:|\n");
    out("| `sane_kelvra_open` + `sane_kelvra_close` | %.2f |\n", l.open_close);
    out("| bare fork/exec + port + connect + one exchange + close/wait | %.2f |\n", l.bare);
    out("| open+close / bare | %.2f |\n", l.open_close / l.bare);
    out("| `sane_kelvra_get_devices` | %.2f |\n", l.get_devices);
}

void report_exchange_latency() {
    out("\n### Exchange latency (one handle, small feeder pages)\n\n");
    out("%s", exchange_latency_table(1000).c_str());
}

void report_memory() {
    out("\n### Peak resident memory during a colour page (largest growth of VmHWM over the RSS before the page, 3 pages, fresh process)\n\n");
    out("| piece | backend MiB | minimal relay MiB | limit: piece + 2 MiB |\n|---|---:|---:|---:|\n");
    for (uint64_t piece : {64 * KiB, MiB, 4 * MiB}) {
        const uint64_t backend = memory_in_fresh_process("backend", piece);
        const uint64_t relay = memory_in_fresh_process("relay", piece);
        out("| %s | %.2f | %.2f | %.2f |\n", size_name(piece).c_str(), double(backend) / MiB, double(relay) / MiB,
            double(piece + 2 * MiB) / MiB);
    }
}

int run(int argc, char** argv) {
    if (argc > 2 && !std::strcmp(argv[1], "--page")) return profile_pages(argc, argv);
    if (argc > 1 && !std::strcmp(argv[1], "--latency")) return latency_only(argc, argv);
    Options options;
    if (const std::optional<int> code = parse_options(argc, argv, &options)) return *code;
    sane_kelvra_init(nullptr, nullptr);
    const int runs = g_runs;

    report_setup(runs);
    report_against_socket(runs);
    if (options.socket_only) {
        sane_kelvra_exit();
        return 0;
    }
    report_page_throughput(runs);
    const std::string csv = report_piece_sizes(runs, options.quick);
    report_handles(runs);
    report_latency(runs);
    report_exchange_latency();
    report_memory();

    if (!options.out_dir.empty()) {
        write_file(options.out_dir + "/results.md", g_report);
        write_file(options.out_dir + "/piece_sizes.csv", csv);
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
