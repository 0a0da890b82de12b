// Image bytes of a read reply on their way from the connection into the page
// pipe: spliced where the kernel allows it, copied where it does not.
#pragma once

#include "ipc/ipc.h"

namespace kelvra::ipc {

// Takes the `length` payload bytes of an image reply whose header has been
// read off the connection, and hands the first `wanted` of them to `fd`; the
// rest are read and dropped, so the connection stays in step. A raised cancel
// flag stops the handing over (looked at between transfers) and drops the
// rest. *written counts what `fd` received, also after a failed `fd`; a
// reply that the connection cut short leaves it as it was, with the bytes
// that had arrived already in `fd` (the page fails with the status).
SANE_Status relay_image(ipc_t* ipc, uint64_t length, uint64_t wanted, int fd,
                        const std::atomic<uint8_t>* cancelled, size_t* written);

// Hands `size` bytes from memory to `fd`, with the same cancel rule: the
// copy path, for a payload already received whole.
SANE_Status write_image(int fd, const uint8_t* bytes, size_t size, const std::atomic<uint8_t>* cancelled,
                        size_t* written);

}  // namespace kelvra::ipc
