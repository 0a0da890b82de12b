// A backend trace (KELVRA_TRACE, sane-kelvra(5) TRACE) read back for a
// replay: its sessions, the connections each started, and per connection the
// frames in the order they crossed it. Only what a replay needs is kept; the
// records of the entry-point calls are checked for their shape and skipped.
#pragma once

#include "simulator/wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_sim {

// The newest format this reader knows.
constexpr int trace_format_version = 1;

// A frame as the backend recorded it: a request it sent, or a reply it read.
struct TracedFrame {
    long line = 0;  // in the trace file, from 1
    FrameHeader header{};
    uint64_t bytes = 0;         // payload bytes that went with the header
    uint64_t header_bytes = 20; // fewer for a request whose header went out short
    // The payload, when the trace holds it (always for XML; images only when
    // recorded with KELVRA_TRACE_IMAGES=1, or when kept is false).
    std::optional<std::string> payload;
    bool whole() const { return header_bytes == sizeof(FrameHeader) && bytes == header.length; }
};

// Where the backend's receive broke off: after `got` bytes of a header, or of
// the payload of `header`.
struct TracedBreak {
    long line = 0;
    std::optional<FrameHeader> header;  // empty: in the header
    uint64_t got = 0;
    // The backend gave up waiting, or cut the connection itself (to stop a
    // page); else the scan-manager ended it.
    bool backend_ended = false;
};

struct TracedStep {
    enum class Kind { request, reply, broken } kind;
    TracedFrame frame;   // request, reply
    TracedBreak broken;  // broken
};

struct TracedConnection {
    long line = 0;  // of its "start" record
    uint32_t number = 0;
    int32_t port = -1;
    bool started = false;  // the backend connected ("status" GOOD)
    std::vector<TracedStep> steps;
};

struct TracedSession {
    long line = 0;  // of its "trace" record
    int64_t pid = 0;
    std::string program;
    bool images = false;
    std::vector<TracedConnection> connections;  // in the order they started
};

struct Trace {
    std::vector<TracedSession> sessions;  // in the order of their "trace" records
};

// Which payloads to keep: those of one connection (session and connection
// counted from 1), or none; the others are checked and dropped, so that a
// replay holds one connection's pages, not the whole file's.
struct KeepPayloads {
    size_t session = 0;
    size_t connection = 0;
};

// Reads a whole trace; false with `error` naming the line and what is wrong
// (not JSON, a record cut short, a newer format, a missing or mistyped field,
// a payload that does not match its size or checksum).
bool read_trace(std::string_view text, Trace& trace, std::string& error, KeepPayloads keep = {});
bool load_trace(const std::string& path, Trace& trace, std::string& error, KeepPayloads keep = {});

}  // namespace kelvra_sim
