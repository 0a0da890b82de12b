// The yardstick: the least a relay of the same design can do. It starts the
// simulator itself, speaks the frames with hand-written XML, and carries each
// read reply socket -> one malloc'd buffer -> pipe -> 32 KiB reads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kelvra_bench {

struct PageResult {
    double seconds = 0;         // from the scan-parameter request to the page's last byte read
    double cpu_seconds = 0;     // user + system time of this process meanwhile
    uint64_t bytes = 0;         // image bytes read by the consumer
    uint64_t peak_growth = 0;   // VmHWM during the page minus VmRSS before it
};

// One simulator process and its connection.
class SimConnection {
public:
    SimConnection();  // fork/exec, port over the pipe, connect; throws on failure
    ~SimConnection();
    SimConnection(const SimConnection&) = delete;
    SimConnection& operator=(const SimConnection&) = delete;

    int socket() const { return socket_; }
    pid_t pid() const { return pid_; }
    // One request (header + payload) and its reply; the reply's payload
    // comes back in `reply` (XML) and its header fields in the outputs.
    void exchange(uint32_t command, uint32_t kind, const std::string& payload, std::string* reply,
                  uint32_t* reply_kind = nullptr);
    // Scan-parameter and start exchanges; returns the page's byte count.
    uint64_t start_page(bool colour);
    void close_and_wait();

private:
    pid_t pid_ = -1;
    int socket_ = -1;
};

// One page through the minimal relay on `connection` (already started).
PageResult relay_page(SimConnection& connection, bool colour, bool measure_memory);

// The simulator alone: a client that sends read requests and drains the
// replies into one reusable buffer, with no pipe behind it.
struct DrainResult {
    double mb_per_s = 0;         // as the client received it (loopback included)
    double sim_cpu_seconds = 0;  // the simulator's own time on a CPU meanwhile
    double cpu_seconds = 0;      // the client's own (this process's) meanwhile
    uint64_t bytes = 0;
};
DrainResult drain_page(SimConnection& connection, bool colour);

// fork/exec + port + connect + the open-device exchange + close + wait.
double bare_open_close_seconds();

}  // namespace kelvra_bench
