// The measurements the report is made of: the backend against the minimal
// relay page by page, the simulator alone, handles at once, latency and the
// peak memory of a page in a fresh process.
#pragma once

#include <cstdint>

#include "bench/minimal_relay.h"

namespace kelvra_bench {

constexpr uint64_t KiB = 1024, MiB = 1024 * 1024;

double mb_per_s(const PageResult& r);
double cpu_ms_per_mb(const PageResult& r);

struct PairMedians {
    double backend = 0, relay = 0;              // MB/s
    double backend_cpu = 0, relay_cpu = 0;      // ms of CPU per MB
};

// Backend and relay pages in alternation (the order flips every run), so
// both see the same machine; one warm-up page each is not counted.
PairMedians backend_against_relay(uint64_t piece, bool colour, int runs);

// The backend fed by a page prepared in memory (kelvra-bench-source), against
// a client that only drains the same socket: the backend as it is (image
// bytes spliced into the page pipe) and with splice refused, so that it
// copies them as it did before; pages of the three in turn, one warm-up
// page each not counted. The machine's cores are shared by the page source,
// the client or the backend's two threads, and whatever else runs.
struct AgainstSocket {
    double socket = 0;                     // MB/s the draining client received
    double socket_cpu = 0;                 // the draining client's CPU ms per MB
    double before = 0, after = 0;          // backend MB/s: copied, spliced
    double before_cpu = 0, after_cpu = 0;  // backend CPU ms per MB
};
AgainstSocket backend_against_socket(uint64_t piece, bool colour, int runs);

struct SimulatorAlone {
    double received = 0;  // MB/s as a draining client got them over loopback
    double capacity = 0;  // MB per second of the simulator's own CPU time
};

SimulatorAlone simulator_alone(uint64_t piece, bool colour, int runs);

// The child's side of memory_in_fresh_process (kelvra-bench --memory WHO PIECE):
// prints the peak growth of three colour pages.
int memory_child(const char* who, uint64_t piece);
// `who` is "backend" or "relay"; bytes of peak resident growth.
uint64_t memory_in_fresh_process(const char* who, uint64_t piece);

// MB/s summed over `handles` handles scanning a page each at once; the
// median of `runs` rounds after one warm-up round.
double aggregate_rate(int handles, bool backend, int runs);

struct Latencies {
    double open_close = 0, bare = 0, get_devices = 0;  // milliseconds
};

Latencies latencies(int runs);

}  // namespace kelvra_bench
