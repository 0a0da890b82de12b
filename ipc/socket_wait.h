// The bounded waits on a connection, shared by the frame code and the image
// relay: every wait on the scan-manager ends within the socket limit, also
// when signals interrupt it.
#pragma once

#include "ipc/connection_trace.h"
#include "ipc/ipc.h"

namespace kelvra::ipc {

// The coarse monotonic clock, in milliseconds.
int64_t now_ms();

// Waits for `events` on the connection for what is left of the socket limit
// counted from `since`, through interruptions. False once the limit expired.
bool ready_before_limit(ipc_t* ipc, short events, int64_t since);

// Shuts the connection down after an expired wait and gives IO_ERROR.
SANE_Status expired(ipc_t* ipc);

// Reads exactly `size` bytes, repeating partial reads, and interrupted ones
// within the limit of the wait they interrupted. On a failure `why` tells
// how many bytes arrived and why no more did.
SANE_Status read_exactly(ipc_t* ipc, uint8_t* buffer, uint64_t size, Breakoff* why);

}  // namespace kelvra::ipc
