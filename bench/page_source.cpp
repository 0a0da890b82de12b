// kelvra-bench-source: the benchmark's scan-manager. With KELVRA_BENCH_SOURCE
// set to "prepared" it serves one flatbed whose page is prepared once in
// memory and sent as it stands, one writev per reply (header and piece),
// TCP_NODELAY: a page source far faster than any relay behind it, so that a
// relay's throughput can be set against what the socket alone carries.
// Otherwise it is the simulator (it execs it with the same argument).
//
//   kelvra-bench-source FD     the port goes to descriptor FD, as for any scan-manager
//   KELVRA_BENCH_PIECE         bytes per image reply (default 1 MiB)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/scenario_file.h"
#include "bench/wire_header.h"

namespace {

using kelvra_bench_wire::Header;

constexpr uint32_t kReply = 1;
constexpr uint32_t kNone = 0, kXml = 1, kImage = 2;
constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

bool read_all(int fd, void* buffer, size_t size) {
    auto* at = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t n = read(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

// Header and payload in one writev, repeated only for what went out short.
bool send_reply(int fd, uint32_t command, uint32_t kind, const void* payload, size_t size) {
    Header header{command, kReply, kind, size};
    iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(payload), size}};
    iovec* part = parts;
    int count = size > 0 ? 2 : 1;
    while (count > 0) {
        const ssize_t n = writev(fd, part, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        size_t sent = size_t(n);
        while (count > 0 && sent >= part->iov_len) {
            sent -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<uint8_t*>(part->iov_base) + sent;
            part->iov_len -= sent;
        }
    }
    return true;
}

bool send_xml(int fd, uint32_t command, const std::string& element) {
    const std::string text = kDeclaration + element + "\n";
    return send_reply(fd, command, kXml, text.data(), text.size());
}

uint64_t attribute(const std::string& xml, const char* name) {
    const std::string key = std::string(" ") + name + "=\"";
    const size_t at = xml.find(key);
    return at == std::string::npos ? 0 : std::strtoull(xml.c_str() + at + key.size(), nullptr, 10);
}

std::string device_attributes() {
    return std::string("name=\"") + kelvra_bench::kDeviceName +
           "\" vendor=\"Kelvra\" model=\"Bench Flatbed\" type=\"flatbed scanner\" host_name=\"\" "
           "vendor_id=\"0x2d1a\" product_id=\"0x4299\" usb_serial_id=\"KVBENCH-0001\" deviceName=\"" +
           kelvra_bench::kDeviceName + "\"";
}

// The page, made once: the largest (colour) one; a gray page is its start.
const std::vector<uint8_t>& prepared_page() {
    static const std::vector<uint8_t> page = [] {
        std::vector<uint8_t> bytes(size_t(kelvra_bench::page_bytes(true)));
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 131 + (i >> 12));
        return bytes;
    }();
    return page;
}

int accept_one(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 60 * 1000) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int serve(int connection, uint64_t piece) {
    uint64_t page_size = 0, offset = 0, width = 0, height = 0, channels = 3;
    std::string payload;
    for (Header request{}; read_all(connection, &request, sizeof request);) {
        if (request.length > (1u << 20)) return 1;
        payload.resize(size_t(request.length));
        if (!read_all(connection, payload.data(), payload.size())) return 1;
        bool sent = true;
        switch (request.command) {
        case 0:
            sent = send_xml(connection, 0, "<devices><device " + device_attributes() + "/></devices>");
            break;
        case 1: {
            char capability[512];
            std::snprintf(capability, sizeof capability,
                          "<device_capability basic_resolution=\"%u\" flatbed_min_width=\"64\" "
                          "flatbed_max_width=\"%u\" flatbed_min_height=\"64\" flatbed_max_height=\"%u\">"
                          "<scanner_units name=\"flatbed\"/></device_capability>",
                          kelvra_bench::kBasicResolution, kelvra_bench::kFlatbedWidth, kelvra_bench::kFlatbedHeight);
            sent = send_xml(connection, 1, capability);
            break;
        }
        case 3: {
            channels = attribute(payload, "color_mode") == 1 ? 1 : 3;
            width = attribute(payload, "output_width");
            height = attribute(payload, "output_height");
            page_size = std::min<uint64_t>(width * height * channels, prepared_page().size());
            char info[256];
            std::snprintf(info, sizeof info,
                          "<image_info color_space=\"%u\" resolution=\"%llu\" width=\"%llu\" height=\"%llu\" "
                          "bits_per_component=\"8\" bits_per_pixel=\"%u\" bytes_per_row=\"%llu\"/>",
                          channels == 1 ? 1u : 2u, static_cast<unsigned long long>(attribute(payload, "output_resolution")),
                          static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                          unsigned(channels * 8), static_cast<unsigned long long>(width * channels));
            sent = send_xml(connection, 3, info);
            break;
        }
        case 4:
            offset = 0;
            prepared_page();
            sent = send_xml(connection, 4, "<status scan_status=\"0\"/>");
            break;
        case 6:
            if (offset < page_size) {
                const uint64_t count = std::min(piece, page_size - offset);
                sent = send_reply(connection, 6, kImage, prepared_page().data() + offset, size_t(count));
                offset += count;
            } else {
                sent = send_xml(connection, 6, "<status read_status=\"2\"/>");
            }
            break;
        case 2:
        case 5: sent = send_reply(connection, request.command, kNone, nullptr, 0); break;
        default: return 1;
        }
        if (!sent) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = std::getenv("KELVRA_BENCH_SOURCE");
    if (mode == nullptr || std::strcmp(mode, "prepared") != 0) {
        execv(kelvra_bench::simulator_path(), argv);
        std::perror("kelvra-bench-source: exec of the simulator");
        return 127;
    }
    if (argc != 2) return 2;
    const int port_fd = std::atoi(argv[1]);
    const char* piece_text = std::getenv("KELVRA_BENCH_PIECE");
    const uint64_t piece = piece_text != nullptr ? std::strtoull(piece_text, nullptr, 10) : (1u << 20);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 || listen(listener, 1) != 0)
        return 1;
    const int32_t port = ntohs(address.sin_port);
    if (write(port_fd, &port, sizeof port) != ssize_t(sizeof port)) return 1;
    close(port_fd);

    const int connection = accept_one(listener);
    close(listener);
    if (connection < 0) return 1;
    const int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int status = serve(connection, piece == 0 ? 1 : piece);
    close(connection);
    return status;
}
