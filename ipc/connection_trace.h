// The connection's trace points: the scan-manager's start and exit, every
// frame both ways and where a transfer broke off. Each is called only when
// the connection is traced (ipc->trace != 0), so a connection without a
// trace pays one branch per frame.
#pragma once

#include <cstdint>

#include "ipc/ipc.h"

namespace kelvra::ipc {

// Why a receive or a send broke off: the time limit, the peer's end of the
// connection (`error` 0), or the errno of a failed call.
struct Breakoff {
    uint64_t got = 0;  // bytes of the header or payload that did arrive (or go out)
    bool expired = false;
    int error = 0;
};

// `wait_status` as waitpid gives it; -1 when the child was not reaped (at the
// start: it is running), or was reaped elsewhere (at the exit).
void trace_start(const ipc_t* ipc, SANE_Status status, int wait_status);
void trace_exit(const ipc_t* ipc, int wait_status, bool killed);
// A request frame: `sent` bytes of header and payload went out.
void trace_sent(const ipc_t* ipc, const ipc_header_t& header, const void* payload, uint64_t sent,
                SANE_Status status, const Breakoff& why);
// A received frame whose header was read; `payload` null when its payload was
// not read (the header was refused, or it announced none). An image payload
// is checksummed from memory, so a reader that could move image bytes into
// the page's pipe without copying them copies them when the connection is
// traced, and calls this with its buffer.
void trace_received(const ipc_t* ipc, const ipc_header_t& header, const ipc_payload_t* payload);
// A header (`header` null) or the payload of `header` that did not arrive whole.
void trace_receive_failed(const ipc_t* ipc, const ipc_header_t* header, const Breakoff& why);

}  // namespace kelvra::ipc
