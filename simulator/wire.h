// The frame of the scan-manager protocol, as this program speaks it: a packed
// 20-byte header in host byte order, then `length` payload bytes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kelvra_sim {

enum : uint32_t {
    cmd_discovery = 0,
    cmd_open_device = 1,
    cmd_close_device = 2,
    cmd_scan_parameter = 3,
    cmd_start_scan = 4,
    cmd_end_scan = 5,
    cmd_read_image = 6,
};

enum : uint32_t { direction_request = 0, direction_reply = 1 };
enum : uint32_t { kind_none = 0, kind_xml = 1, kind_image = 2 };

#pragma pack(push, 1)
struct FrameHeader {
    uint32_t command;
    uint32_t direction;
    uint32_t kind;
    uint64_t length;
};
#pragma pack(pop)
static_assert(sizeof(FrameHeader) == 20, "the frame header has no padding");

// Requests are XML documents of a few hundred bytes; a larger announcement is a
// broken client, refused before anything is allocated for it.
constexpr uint64_t max_request_length = 1ull << 20;

const char* command_name(uint32_t command);

// FNV-1a, 64 bits, of `bytes`: the checksum of image payloads in the
// transcript and in the backend's trace.
uint64_t fnv1a64(std::string_view bytes);

enum class ReadResult {
    complete,    // all bytes arrived
    end,         // the peer closed before the first byte
    truncated,   // the peer closed part way
    failed,      // a socket error
};

// Reads exactly `count` bytes, retrying after signals.
ReadResult read_exact(int fd, void* buffer, size_t count);

// Sends all bytes of the header and the payload, as one system call whenever
// the socket takes them; never raises SIGPIPE. False when the peer is gone.
bool send_frame(int fd, const FrameHeader& header, const void* payload, size_t size);

// Sends raw bytes (for replies cut short on purpose). False when the peer is gone.
bool send_bytes(int fd, const void* data, size_t size);

}  // namespace kelvra_sim
