#include "bench/minimal_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench/measure.h"
#include "bench/scenario_file.h"
#include "bench/wire_header.h"

namespace kelvra_bench {

namespace {

using kelvra_bench_wire::Header;

constexpr uint32_t kScanParameter = 3, kStartScan = 4, kEndScan = 5, kReadImage = 6, kOpenDevice = 1;
constexpr uint32_t kNone = 0, kXml = 1, kImage = 2;
constexpr size_t kReadSize = 32 * 1024;

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void read_all(int fd, void* buffer, size_t size) {
    auto* at = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        ssize_t n = read(fd, at, size);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            fail("relay: read");
        }
        at += n;
        size -= size_t(n);
    }
}

void write_all(int fd, const void* buffer, size_t size) {
    auto* at = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        ssize_t n = write(fd, at, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("relay: write");
        }
        at += n;
        size -= size_t(n);
    }
}

// Header and payload in one write, as the backend sends them: written apart,
// the payload would wait for the acknowledgement of the header (Nagle), some
// 40 ms on every request with a document.
void send_request(int socket, uint32_t command, uint32_t kind, const std::string& payload) {
    Header header{command, 0, kind, payload.size()};
    std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
    frame += payload;
    write_all(socket, frame.data(), frame.size());
}

uint64_t attribute(const std::string& xml, const char* name) {
    const std::string key = std::string(" ") + name + "=\"";
    const size_t at = xml.find(key);
    return at == std::string::npos ? 0 : std::strtoull(xml.c_str() + at + key.size(), nullptr, 10);
}

std::string scan_parameter_xml(bool colour) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<scan_parameter original_placement=\"0\" scan_side=\"0\" color_mode=\"%u\" "
                  "input_resolution=\"%u\" input_position_x=\"0\" input_position_y=\"0\" input_width=\"%u\" "
                  "input_height=\"%u\" output_resolution=\"%u\" output_width=\"%u\" output_height=\"%u\" "
                  "black_text_mode=\"0\"/>\n",
                  colour ? 2u : 1u, kBasicResolution, kFlatbedWidth, kFlatbedHeight, kOutputResolution, kPageWidth,
                  kPageHeight);
    return text;
}

// The relay's writer side: one request, one header, one malloc, one pipe
// write loop, one free per reply, until a status reply ends the page.
struct RelayThread {
    int socket;
    int pipe_write;
    bool failed = false;

    static void* run(void* argument) {
        auto* self = static_cast<RelayThread*>(argument);
        try {
            for (;;) {
                send_request(self->socket, kReadImage, kNone, "");
                Header header;
                read_all(self->socket, &header, sizeof header);
                uint8_t* data = static_cast<uint8_t*>(std::malloc(header.length ? header.length : 1));
                read_all(self->socket, data, header.length);
                if (header.kind == kImage) write_all(self->pipe_write, data, header.length);
                const bool image = header.kind == kImage;
                std::free(data);
                if (!image) break;  // read_status: the page (and here the job) is over
            }
            // The job's end, as the backend makes it.
            send_request(self->socket, kEndScan, kNone, "");
            Header ack;
            read_all(self->socket, &ack, sizeof ack);
        } catch (const std::exception&) {
            self->failed = true;
        }
        close(self->pipe_write);
        return nullptr;
    }
};

}  // namespace

SimConnection::SimConnection() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe");
    char argument[16];
    std::snprintf(argument, sizeof argument, "%d", fds[1]);
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        close(fds[0]);
        fcntl(fds[1], F_SETFD, 0);
        execl(scan_manager_path(), scan_manager_path(), argument, static_cast<char*>(nullptr));
        _exit(1);
    }
    close(fds[1]);
    int32_t port = -1;
    read_all(fds[0], &port, sizeof port);
    close(fds[0]);
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail("connect");
}

SimConnection::~SimConnection() { close_and_wait(); }

void SimConnection::close_and_wait() {
    if (socket_ != -1) close(socket_);
    socket_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void SimConnection::exchange(uint32_t command, uint32_t kind, const std::string& payload, std::string* reply,
                             uint32_t* reply_kind) {
    send_request(socket_, command, kind, payload);
    Header header;
    read_all(socket_, &header, sizeof header);
    if (header.command != command || header.direction != 1) throw std::runtime_error("relay: unexpected reply");
    std::string text(header.length, '\0');
    read_all(socket_, text.data(), text.size());
    if (reply != nullptr) *reply = std::move(text);
    if (reply_kind != nullptr) *reply_kind = header.kind;
}

uint64_t SimConnection::start_page(bool colour) {
    std::string info;
    exchange(kScanParameter, kXml, scan_parameter_xml(colour), &info);
    std::string status;
    exchange(kStartScan, kNone, "", &status);
    if (attribute(status, "scan_status") != 0) throw std::runtime_error("relay: scan refused");
    return attribute(info, "height") * attribute(info, "bytes_per_row");
}

PageResult relay_page(SimConnection& connection, bool colour, bool measure_memory) {
    thread_local std::vector<uint8_t> buffer(kReadSize);
    PageResult result;
    const uint64_t rss_before = measure_memory ? current_rss_bytes() : 0;
    if (measure_memory) reset_peak_rss();
    const double cpu0 = cpu_seconds();
    const double t0 = now_seconds();

    const uint64_t total = connection.start_page(colour);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe");
    RelayThread relay{connection.socket(), ends[1]};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, RelayThread::run, &relay) != 0) fail("pthread_create");
    while (result.bytes < total) {
        ssize_t n = read(ends[0], buffer.data(), buffer.size());
        if (n <= 0) break;
        result.bytes += uint64_t(n);
    }
    pthread_join(thread, nullptr);
    close(ends[0]);

    result.seconds = now_seconds() - t0;
    result.cpu_seconds = cpu_seconds() - cpu0;
    if (measure_memory) result.peak_growth = peak_rss_bytes() - rss_before;
    if (relay.failed || result.bytes != total) throw std::runtime_error("relay: page incomplete");
    return result;
}

DrainResult drain_page(SimConnection& connection, bool colour) {
    static std::vector<uint8_t> buffer;
    const double sim0 = process_cpu_seconds(connection.pid());
    const double cpu0 = cpu_seconds();
    const double t0 = now_seconds();
    connection.start_page(colour);
    uint64_t bytes = 0;
    for (;;) {
        send_request(connection.socket(), kReadImage, kNone, "");
        Header header;
        read_all(connection.socket(), &header, sizeof header);
        if (buffer.size() < header.length) buffer.resize(header.length);
        read_all(connection.socket(), buffer.data(), header.length);
        if (header.kind != kImage) break;
        bytes += header.length;
    }
    DrainResult result;
    result.mb_per_s = double(bytes) / kMB / (now_seconds() - t0);
    result.sim_cpu_seconds = process_cpu_seconds(connection.pid()) - sim0;
    result.cpu_seconds = cpu_seconds() - cpu0;
    result.bytes = bytes;
    std::string ack;
    connection.exchange(kEndScan, kNone, "", &ack);
    return result;
}

double bare_open_close_seconds() {
    static const std::string open_xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
                                        "<device model=\"Bench Flatbed\" host_name=\"\" vendor_id=\"0x2d1a\" "
                                        "product_id=\"0x4299\" usb_serial_id=\"KVBENCH-0001\" deviceName=\"" +
                                        kDeviceName + "\"/>\n";
    const double t0 = now_seconds();
    {
        SimConnection connection;
        std::string capability;
        connection.exchange(kOpenDevice, kXml, open_xml, &capability);
        if (capability.find("device_capability") == std::string::npos)
            throw std::runtime_error("bare open: no capability");
        connection.close_and_wait();
    }
    return now_seconds() - t0;
}

}  // namespace kelvra_bench
