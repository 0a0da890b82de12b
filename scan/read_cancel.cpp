// The frontend's side of a page: reading the pipe, and cancelling.
#include <signal.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "backend/build_paths.h"
#include "scan/scan.h"

SANE_Status read_image(device_t* handle, SANE_Byte* buffer, SANE_Int* length) {
    if (handle == nullptr || buffer == nullptr || length == nullptr) {
        if (length != nullptr) *length = 0;
        return SANE_STATUS_INVAL;
    }
    const SANE_Int max_length = *length;

    SANE_Status status = handle->status;
    if (status != SANE_STATUS_GOOD) {
        *length = 0;
        return status;
    }
    if (handle->cancelled) {
        *length = 0;
        return SANE_STATUS_CANCELLED;
    }
    if (handle->read_bytes >= handle->total_bytes) {
        close_pipe(handle);
        *length = 0;
        return SANE_STATUS_EOF;
    }

    // A negative max_length reads nothing rather than a size_t-sized span.
    ssize_t got = read(handle->pipe_read_fd, buffer, max_length > 0 ? static_cast<size_t>(max_length) : 0);
    SANE_Status outcome = SANE_STATUS_IO_ERROR;
    if (got > 0) {
        handle->read_bytes += static_cast<uint64_t>(got);
        *length = static_cast<SANE_Int>(got);
        outcome = SANE_STATUS_GOOD;
    }

    // The reader thread stores the page's result before it closes the write
    // end, so an end of file caused by a jam or a cancel is reported as such.
    status = handle->status;
    if (status != SANE_STATUS_GOOD || outcome != SANE_STATUS_GOOD) {
        *length = 0;
        return status != SANE_STATUS_GOOD ? status : outcome;
    }
    return SANE_STATUS_GOOD;
}

namespace {

// Waits for the reader thread after the cancel flag is up. The thread comes
// to its end by itself when the scan-manager answers; the signal is repeated
// in case it landed before the thread entered a blocking call. A
// scan-manager that stays silent would keep the thread in its socket waits
// for up to twice the socket limit (the pending reply, then the end
// exchange), so shortly before the limit the connection is shut down, which
// ends every wait on it at once: cancel never takes longer than the limit.
void join_cancelled_thread(device_t* handle) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    const long limit_ms = kelvra::kSocketTimeoutSeconds * 1000L - 250;
    deadline.tv_sec += limit_ms / 1000;
    deadline.tv_nsec += (limit_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        pthread_kill(handle->thread, SIGUSR1);
        timespec slice;
        clock_gettime(CLOCK_REALTIME, &slice);
        slice.tv_nsec += 100 * 1000000L;
        if (slice.tv_nsec >= 1000000000L) {
            slice.tv_sec += 1;
            slice.tv_nsec -= 1000000000L;
        }
        bool last = slice.tv_sec > deadline.tv_sec ||
                    (slice.tv_sec == deadline.tv_sec && slice.tv_nsec >= deadline.tv_nsec);
        int joined = pthread_timedjoin_np(handle->thread, nullptr, last ? &deadline : &slice);
        if (joined == 0) return;
        if (joined != ETIMEDOUT) break;
        if (last) {
            if (handle->ipc != nullptr && handle->ipc->socket != -1) shutdown(handle->ipc->socket, SHUT_RDWR);
            break;
        }
    }
    pthread_join(handle->thread, nullptr);
}

}  // namespace

SANE_Status cancel_scan(device_t* handle) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    handle->cancelled = 1;
    if (handle->thread_running) {
        join_cancelled_thread(handle);
        handle->thread_running = 0;
    }
    handle->pages = 0;
    return SANE_STATUS_GOOD;
}
