// The 20-byte frame: single reads and writes on the connection, whole headers
// and payloads, the header-only requests and the bare acknowledgements.
#include "ipc/ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "ipc/connection_trace.h"
#include "ipc/socket_wait.h"
#include "platform/build_paths.h"

namespace kelvra::ipc {

// The coarse monotonic clock, in milliseconds. It is read in user space, so
// taking it before every receive costs no system call on the image path.
int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

bool limit_expired(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

// Once a wait on the connection has expired, the scan-manager is presumed
// gone: shutting the connection down makes the exchanges that follow (the end
// of the job, the close) fail at once instead of each waiting out the limit
// again. They are still attempted, and fail as on any broken connection.
SANE_Status expired(ipc_t* ipc) {
    shutdown(ipc->socket, SHUT_RDWR);
    return SANE_STATUS_IO_ERROR;
}

// The socket's own limits start afresh with every call, and a receive or
// send interrupted by a signal is never restarted (the limits forbid it): a
// frontend with a periodic timer would make a wait on a silent scan-manager
// endless. So after an interruption the rest of the limit, counted from
// `since` (when the wait began), is waited for with poll, through further
// interruptions. False once the limit has expired.
bool ready_before_limit(ipc_t* ipc, short events, int64_t since) {
    const int64_t deadline = since + kelvra::kSocketTimeoutSeconds * 1000LL;
    for (;;) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd ready{ipc->socket, events, 0};
        const int n = poll(&ready, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // the call that follows reports the failure
    }
}

}  // namespace kelvra::ipc

using kelvra::ipc::expired;
using kelvra::ipc::limit_expired;
using kelvra::ipc::now_ms;
using kelvra::ipc::ready_before_limit;

SANE_Status ipc_write(ipc_t* ipc, const void* buffer, size_t* count) {
    if (ipc == nullptr || buffer == nullptr || count == nullptr) return SANE_STATUS_INVAL;
    // MSG_NOSIGNAL: a scan-manager that has gone gives EPIPE, never a SIGPIPE
    // that would end the frontend's process.
    ssize_t sent = send(ipc->socket, buffer, *count, MSG_NOSIGNAL);
    if (sent >= 0) {
        *count = static_cast<size_t>(sent);
        return SANE_STATUS_GOOD;
    }
    if (errno == EINTR) {
        *count = 0;
        return SANE_STATUS_GOOD;
    }
    if (limit_expired(errno)) return expired(ipc);
    return SANE_STATUS_IO_ERROR;
}

namespace {

// Sends the frame; *sent counts the bytes of header and payload that went
// out, and `why` says why the rest did not.
SANE_Status write_frame(ipc_t* ipc, const ipc_header_t* header, const void* payload, size_t size, uint64_t* sent,
                        kelvra::ipc::Breakoff* why) {
    // Header and payload leave in one call: written separately, the payload
    // would wait behind the unacknowledged header (Nagle) for the peer's
    // delayed acknowledgement, some 40 ms on every XML request.
    iovec pieces[2] = {
        {const_cast<ipc_header_t*>(header), sizeof *header},
        {const_cast<void*>(payload), size},
    };
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = size > 0 ? 2 : 1;
    // An interrupted call has sent nothing: like a header that went out
    // short, the request fails and no payload follows.
    const ssize_t first = sendmsg(ipc->socket, &message, MSG_NOSIGNAL);
    if (first < 0) {
        why->error = errno;
        why->expired = limit_expired(errno);
        return why->expired ? expired(ipc) : SANE_STATUS_IO_ERROR;
    }
    *sent = static_cast<uint64_t>(first);
    if (first < static_cast<ssize_t>(sizeof *header)) return SANE_STATUS_IO_ERROR;

    // A payload that went out short would leave the scan-manager waiting for
    // the rest: send it, retrying interrupted writes within one limit, until
    // all of it is out or the connection fails.
    const auto* bytes = static_cast<const uint8_t*>(payload);
    size_t done = static_cast<size_t>(first) - sizeof *header;
    while (done < size) {
        const int64_t since = now_ms();
        size_t count = size - done;
        SANE_Status status = ipc_write(ipc, bytes + done, &count);
        while (status == SANE_STATUS_GOOD && count == 0) {
            if (!ready_before_limit(ipc, POLLOUT, since)) {
                why->expired = true;
                return expired(ipc);
            }
            count = size - done;
            status = ipc_write(ipc, bytes + done, &count);
        }
        if (status != SANE_STATUS_GOOD) {
            why->error = errno;
            why->expired = limit_expired(errno);
            return status;
        }
        done += count;
        *sent += count;
    }
    return SANE_STATUS_GOOD;
}

}  // namespace

SANE_Status ipc_write_frame(ipc_t* ipc, const ipc_header_t* header, const void* payload, size_t size) {
    if (ipc == nullptr || header == nullptr || (payload == nullptr && size > 0)) return SANE_STATUS_INVAL;
    uint64_t sent = 0;
    kelvra::ipc::Breakoff why;
    const SANE_Status status = write_frame(ipc, header, payload, size, &sent, &why);
    if (ipc->trace != 0) kelvra::ipc::trace_sent(ipc, *header, payload, sent, status, why);
    return status;
}

SANE_Status ipc_read(ipc_t* ipc, void* buffer, size_t* count) {
    if (ipc == nullptr || buffer == nullptr || count == nullptr) return SANE_STATUS_INVAL;
    ssize_t got = read(ipc->socket, buffer, *count);
    if (got > 0) {
        *count = static_cast<size_t>(got);
        return SANE_STATUS_GOOD;
    }
    if (got == 0) return SANE_STATUS_IO_ERROR;  // the scan-manager closed its end
    // An interrupted read (the reader thread's SIGUSR1) reports nothing, and
    // the caller's loop simply reads again.
    if (errno == EINTR) {
        *count = 0;
        return SANE_STATUS_GOOD;
    }
    if (limit_expired(errno)) return expired(ipc);
    return SANE_STATUS_IO_ERROR;
}

// errno is cleared before each read, so that a read of none, the peer's
// end, leaves it 0 in `why`.
SANE_Status kelvra::ipc::read_exactly(ipc_t* ipc, uint8_t* buffer, uint64_t size, Breakoff* why) {
    uint64_t done = 0;
    while (done < size) {
        const int64_t since = now_ms();
        size_t count = static_cast<size_t>(size - done);
        errno = 0;
        SANE_Status status = ipc_read(ipc, buffer + done, &count);
        while (status == SANE_STATUS_GOOD && count == 0) {
            if (!ready_before_limit(ipc, POLLIN, since)) {
                why->got = done;
                why->expired = true;
                return expired(ipc);
            }
            count = static_cast<size_t>(size - done);
            errno = 0;
            status = ipc_read(ipc, buffer + done, &count);
        }
        if (status != SANE_STATUS_GOOD) {
            why->got = done;
            why->error = errno;
            why->expired = limit_expired(errno);
            return status;
        }
        done += count;
    }
    return SANE_STATUS_GOOD;
}

using kelvra::ipc::read_exactly;

SANE_Status receive_header(ipc_t* ipc, ipc_header_t* header) {
    kelvra::ipc::Breakoff why;
    const SANE_Status status = read_exactly(ipc, reinterpret_cast<uint8_t*>(header), sizeof *header, &why);
    if (status != SANE_STATUS_GOOD && ipc->trace != 0) kelvra::ipc::trace_receive_failed(ipc, nullptr, why);
    return status;
}

SANE_Status receive_payload(ipc_t* ipc, const ipc_header_t* header, ipc_payload_t* payload) {
    const uint64_t length = header->length;
    // A length no scan-manager sends: refused before anything is allocated
    // or read, so a broken peer can neither exhaust memory nor stall us.
    if (length > IPC_MAX_PAYLOAD) {
        if (ipc->trace != 0) kelvra::ipc::trace_received(ipc, *header, nullptr);
        return SANE_STATUS_IO_ERROR;
    }

    // An empty payload holds no buffer; malloc(0) could not tell it from a failure.
    if (length > 0) {
        payload->data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length)));
        if (payload->data == nullptr) {
            if (ipc->trace != 0) kelvra::ipc::trace_received(ipc, *header, nullptr);
            return SANE_STATUS_NO_MEM;
        }
    }
    payload->length = length;
    payload->kind = 0;

    kelvra::ipc::Breakoff why;
    SANE_Status status = read_exactly(ipc, payload->data, length, &why);
    if (status != SANE_STATUS_GOOD) {
        if (ipc->trace != 0) kelvra::ipc::trace_receive_failed(ipc, header, why);
        return status;
    }

    payload->kind = header->kind;
    payload->length = length;
    return SANE_STATUS_GOOD;
}

void free_payload(ipc_payload_t* payload) {
    if (payload->data != nullptr) {
        std::free(payload->data);
        payload->data = nullptr;
    }
    payload->kind = 0;
    payload->length = 0;
}

static SANE_Status send_bare_request(ipc_t* ipc, uint32_t command) {
    ipc_header_t header{command, IPC_REQUEST, IPC_PAYLOAD_NONE, 0};
    return ipc_write_frame(ipc, &header, nullptr, 0);
}

SANE_Status send_close_device(ipc_t* ipc) { return send_bare_request(ipc, IPC_CMD_CLOSE_DEVICE); }
SANE_Status send_start_scan(ipc_t* ipc) { return send_bare_request(ipc, IPC_CMD_START_SCAN); }
SANE_Status send_end_scan(ipc_t* ipc) { return send_bare_request(ipc, IPC_CMD_END_SCAN); }
SANE_Status send_read_request(ipc_t* ipc) { return send_bare_request(ipc, IPC_CMD_READ_IMAGE); }

static SANE_Status receive_bare_ack(ipc_t* ipc, uint32_t command) {
    ipc_header_t header{};
    SANE_Status status = receive_header(ipc, &header);
    if (status != SANE_STATUS_GOOD) return status;
    if (ipc->trace != 0) kelvra::ipc::trace_received(ipc, header, nullptr);
    if (header.command != command || header.direction != IPC_REPLY || header.kind != IPC_PAYLOAD_NONE ||
        header.length != 0)
        return SANE_STATUS_IO_ERROR;
    return SANE_STATUS_GOOD;
}

SANE_Status receive_close_ack(ipc_t* ipc) { return receive_bare_ack(ipc, IPC_CMD_CLOSE_DEVICE); }
SANE_Status receive_end_ack(ipc_t* ipc) { return receive_bare_ack(ipc, IPC_CMD_END_SCAN); }
