// An independent client of the simulator for its own tests: it starts
// kelvra-sim exactly as the backend starts a scan-manager (fork, exec with
// the pipe's descriptor number as the only argument, 4 bytes of port, a
// connection to 127.0.0.1) and speaks the frame protocol with the
// simulator's own wire code, never the backend's, so a fault in the backend's
// wire code cannot hide one here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvra_test {

struct SimFrame {
    uint32_t command = 0;
    uint32_t direction = 0;
    uint32_t kind = 0;
    uint64_t length = 0;
    std::string payload;
};

enum class SimRead { frame, closed, timeout, error };

struct SimStartOptions {
    std::string scenario;                // scenario text, written to a temporary file; empty: none
    std::vector<std::string> env;        // extra NAME=VALUE entries
    std::string stderr_path;             // where the simulator's standard error goes; empty: inherited
};

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();  // kills a simulator still running, reaps it, removes temporary files
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool start(const SimStartOptions& options = {});
    bool start(const std::string& scenario) { return start(SimStartOptions{scenario, {}, {}}); }

    // The 4-byte port message; false when the pipe ends or stays silent for `timeout_ms`.
    bool read_port(int32_t& port, int timeout_ms = 5000);
    // True when the pipe ends (EOF) within `timeout_ms` without a byte.
    bool pipe_ends_without_data(int timeout_ms = 5000);
    bool connect_to(int32_t port);  // low 16 bits, as the backend does
    bool start_and_connect(const SimStartOptions& options);
    bool start_and_connect(const std::string& scenario = "") {
        return start_and_connect(SimStartOptions{scenario, {}, {}});
    }

    bool send_frame(uint32_t command, uint32_t direction, uint32_t kind, std::string_view payload);
    bool send_request(uint32_t command, std::string_view xml = {});  // XML kind when there is text
    bool send_raw(const void* data, size_t size);

    SimRead read_frame(SimFrame& frame, int timeout_ms = 5000);
    // Exactly `size` bytes (closed or timeout when they do not all arrive).
    SimRead read_exact(void* data, size_t size, int timeout_ms = 5000);
    // Sends the request and reads one reply; false on any failure.
    bool exchange(uint32_t command, std::string_view xml, SimFrame& reply, int timeout_ms = 5000);

    // True when the connection ends within `timeout_ms` with nothing more to read.
    bool connection_closed(int timeout_ms = 5000);
    // True when nothing arrives for `milliseconds` and the connection stays open.
    bool stays_silent(int milliseconds);
    void close_connection();

    // Exit status when the process ends within `timeout_ms`; -1 when it is
    // still running, 128 + signal when a signal ended it.
    int wait_exit(int timeout_ms = 5000);

    pid_t pid() const { return pid_; }
    // The number of the pipe's write end, the simulator's argument.
    int port_pipe_number() const { return port_pipe_number_; }

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
    int port_pipe_number_ = -1;
    int socket_ = -1;
    int exit_status_ = -1;
    std::string scenario_path_;
};

// A fresh path in the temporary directory, not yet created.
std::string sim_temp_path(const std::string& stem);
std::string sim_read_file(const std::string& path);

// Runs kelvra-sim with `args` (not a pipe), capturing its output; the exit status.
int run_sim_with_args(const std::vector<std::string>& args, std::string& out, std::string& err);

// Request documents as the backend writes them.
std::string sim_discovery_request(const std::vector<std::string>& hosts);
struct SimDeviceId {
    std::string model, host_name, vendor_id, product_id, usb_serial_id, deviceName;
};
std::string sim_open_request(const SimDeviceId& id);
// The identity of a built-in device, by its deviceName ("fb-a4", "mfp-adf",
// "duplex-legal", "net-office").
SimDeviceId sim_builtin_device(const std::string& deviceName);
std::string sim_scan_request(uint32_t placement, uint32_t side, uint32_t color_mode, uint32_t width,
                             uint32_t height, uint32_t resolution = 300);

// Opens a built-in device, sends the scan parameters and the start request;
// the reply's scan_status ("none" when the reply is no status document).
std::string sim_start_job(SimProcess& sim, const std::string& deviceName, const std::string& parameters);

// `count` bytes from `offset` of the test chart's page `page`, rows packed
// (width x channels bytes each).
std::string sim_chart(uint32_t width, uint32_t height, uint32_t channels, uint32_t page, uint64_t offset = 0,
                      uint64_t count = UINT64_MAX);

// True when a simulator started with `options` writes no port and exits with
// status 2; `err` receives what it wrote to standard error.
bool sim_refuses_to_start(SimStartOptions options, std::string& err);

// Read requests until a reply that is not image data.
struct SimPage {
    bool ok = false;                 // every exchange worked
    std::string bytes;               // the image bytes, joined
    std::vector<uint64_t> pieces;    // the size of each image reply
    SimFrame end;                    // the reply that ended the page
};
SimPage sim_read_page(SimProcess& sim, int timeout_ms = 5000);

// A parsed reply document, for checking names, attributes and their order.
struct SimXml {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;  // in document order
    std::vector<SimXml> children;                                 // elements only
    bool has(const std::string& attribute) const;
    std::string operator[](const std::string& attribute) const;   // "" when missing
};
bool parse_sim_xml(std::string_view text, SimXml& root);
// `attribute` of a "status" reply document; "none" when the frame is not one.
std::string sim_status(const SimFrame& frame, const char* attribute);

}  // namespace kelvra_test
