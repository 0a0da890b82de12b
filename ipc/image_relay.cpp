// Image bytes from the connection into the page pipe. splice(2) moves them
// inside the kernel: no buffer of ours, no copy through user space, so a
// page runs at the speed of the socket. Where the kernel refuses (the target
// is no pipe, or the system has no splice) they are read into a buffer and
// written, as every byte was before, for the rest of the connection.
#include "ipc/image_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "ipc/socket_wait.h"

namespace kelvra::ipc {

namespace {

std::atomic<ipc_splice_function> replaced_splice{nullptr};

ssize_t splice_call(int in, int out, size_t size) {
    const ipc_splice_function replaced = replaced_splice.load(std::memory_order_relaxed);
    // Non-blocking on the pipe: a full pipe is waited on here, where the
    // cancel flag is looked at; the socket's side keeps its time limit.
    const unsigned int flags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
    return replaced != nullptr ? replaced(in, nullptr, out, nullptr, size, flags)
                               : splice(in, nullptr, out, nullptr, size, flags);
}

// While image bytes go to the page pipe, SIGPIPE is blocked on this thread:
// a pipe whose reader has gone then fails with EPIPE (an IO_ERROR for the
// page) instead of ending the frontend's process. A SIGPIPE raised by our own
// write is taken off the thread again so that it never arrives later.
//
// A caller that blocks SIGPIPE itself (the reader thread, for its whole life)
// is left alone: its mask needs no setting back, and a signal our write left
// pending is its to handle as for any of its writes; the reader thread's goes
// with the thread. That keeps the cost per reply at one system call.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_only_);
        sigaddset(&pipe_only_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_only_, &previous_);
        caller_blocks_ = sigismember(&previous_, SIGPIPE) == 1;
        if (caller_blocks_) return;
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!caller_blocks_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void discard_own_signal() {
        if (caller_blocks_ || was_pending_) return;
        timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_only_, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t pipe_only_;
    sigset_t previous_;
    bool caller_blocks_ = false;
    bool was_pending_ = false;
};

bool is_cancelled(const std::atomic<uint8_t>* cancelled) { return cancelled != nullptr && cancelled->load() != 0; }

// A full pipe is waited on in short polls, between which the caller looks at
// the cancel flag again. An interruption or a timeout only loops.
void wait_for_room(int fd) {
    pollfd room{fd, POLLOUT, 0};
    poll(&room, 1, 100);
}

// True unless the pipe is full. A pipe whose reader has gone reports an
// error instead, which the next transfer turns into EPIPE.
bool has_room(int fd) {
    pollfd room{fd, POLLOUT, 0};
    return poll(&room, 1, 0) != 0;
}

enum class Splice { done, refused, pipe_failed, connection_failed };

// Splices bytes until `wanted` are in `fd` or the cancel flag is raised.
// Each wait on the socket is bounded by the socket limit, counted from the
// last byte that moved; a wait on a full pipe is the frontend's pace.
Splice splice_into(ipc_t* ipc, int fd, uint64_t wanted, const std::atomic<uint8_t>* cancelled, uint64_t* done,
                   SANE_Status* status) {
    SigpipeBlock sigpipe_block;
    int64_t since = now_ms();
    while (*done < wanted && !is_cancelled(cancelled)) {
        const ssize_t n = splice_call(ipc->socket, fd, static_cast<size_t>(wanted - *done));
        if (n > 0) {
            *done += static_cast<uint64_t>(n);
            since = now_ms();
            continue;
        }
        if (n == 0) {  // the scan-manager closed its end
            *status = SANE_STATUS_IO_ERROR;
            return Splice::connection_failed;
        }
        const int error = errno;
        if (error == EINVAL || error == ENOSYS) return Splice::refused;
        if (error == EAGAIN || error == EINTR) {
            if (is_cancelled(cancelled)) break;
            if (!has_room(fd)) {
                wait_for_room(fd);
                since = now_ms();
            } else if (!ready_before_limit(ipc, POLLIN, since)) {
                *status = expired(ipc);
                return Splice::connection_failed;
            }
            continue;
        }
        if (error == EPIPE) sigpipe_block.discard_own_signal();
        *status = SANE_STATUS_IO_ERROR;
        return Splice::pipe_failed;
    }
    return Splice::done;
}

// Reads and drops `size` bytes of the connection.
SANE_Status drop(ipc_t* ipc, uint64_t size) {
    uint8_t scratch[65536];
    while (size > 0) {
        const uint64_t part = std::min<uint64_t>(size, sizeof scratch);
        Breakoff why;
        const SANE_Status status = read_exactly(ipc, scratch, part, &why);
        if (status != SANE_STATUS_GOOD) return status;
        size -= part;
    }
    return SANE_STATUS_GOOD;
}

}  // namespace

SANE_Status write_image(int fd, const uint8_t* bytes, size_t size, const std::atomic<uint8_t>* cancelled,
                        size_t* written) {
    SigpipeBlock sigpipe_block;
    size_t done = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    while (done < size && !is_cancelled(cancelled)) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            wait_for_room(fd);
            continue;
        }
        if (error == EPIPE) sigpipe_block.discard_own_signal();
        status = SANE_STATUS_IO_ERROR;
        break;
    }
    *written = done;
    return status;
}

SANE_Status relay_image(ipc_t* ipc, uint64_t length, uint64_t wanted, int fd, const std::atomic<uint8_t>* cancelled,
                        size_t* written) {
    // A length no scan-manager sends is refused before anything is read.
    if (length > IPC_MAX_PAYLOAD) return SANE_STATUS_IO_ERROR;
    wanted = is_cancelled(cancelled) ? 0 : std::min(wanted, length);

    uint64_t done = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    const Splice outcome = splice_into(ipc, fd, wanted, cancelled, &done, &status);
    uint64_t taken = done;
    // A reply cut short by the connection counts nothing, as a reply that
    // could not be received whole: the page fails with the status.
    if (outcome == Splice::connection_failed) return status;
    if (outcome == Splice::refused) {
        // The copy path for the bytes still wanted: read whole into one
        // buffer, then written.
        ipc->copy_images = 1;
        if (done < wanted && !is_cancelled(cancelled)) {
            const uint64_t rest = wanted - done;
            auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(rest)));
            if (buffer == nullptr) status = SANE_STATUS_NO_MEM;
            Breakoff why;
            if (buffer != nullptr) status = read_exactly(ipc, buffer, rest, &why);
            if (status != SANE_STATUS_GOOD) {
                std::free(buffer);
                return status;
            }
            taken = wanted;
            size_t copied = 0;
            status = write_image(fd, buffer, static_cast<size_t>(rest), cancelled, &copied);
            done += copied;
            std::free(buffer);
        }
    }
    // The rest of the payload (beyond `wanted`, after a cancel or a failed
    // pipe) is read and dropped, so the next frame is read from its start.
    // A reply cut short there counts nothing either.
    const SANE_Status dropped = drop(ipc, length - taken);
    if (dropped != SANE_STATUS_GOOD) return dropped;
    *written = static_cast<size_t>(done);
    return status;
}

}  // namespace kelvra::ipc

void ipc_set_splice_function(ipc_splice_function function) {
    kelvra::ipc::replaced_splice.store(function, std::memory_order_relaxed);
}
