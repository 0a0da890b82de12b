// The frontend's side of a page: reading the pipe, cancelling, and letting
// go of a handle's page.
#include <unistd.h>

#include <cerrno>

#include "scan/scan_internal.h"

namespace {

// The calls of the frontend's now running in the library (FrontendCall).
// Lock-free, so that a cancel in a signal handler may count itself too.
std::atomic<int> frontend_calls{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

FrontendCall::FrontendCall() : alone_(frontend_calls.fetch_add(1) == 0) {}
FrontendCall::~FrontendCall() { frontend_calls.fetch_sub(1); }

namespace {

SANE_Status read_from_pipe(device_t* handle, SANE_Byte* buffer, SANE_Int* length) {
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
        close_page_pipe(handle);
        *length = 0;
        return SANE_STATUS_EOF;
    }

    // A negative max_length reads nothing rather than a size_t-sized span.
    // The wait is the reader thread's: it writes bytes, or ends the page and
    // closes the write end, within the socket limit of each of its own waits.
    ssize_t got = read(handle->pipe_read_fd, buffer, max_length > 0 ? static_cast<size_t>(max_length) : 0);
    // A signal of the frontend's own (a timer, without SA_RESTART) is no
    // fault of the page: the read delivers nothing and succeeds, and the
    // frontend simply reads again. A cancel from that signal's handler is
    // reported as such.
    const bool interrupted = got < 0 && errno == EINTR;
    SANE_Status outcome = SANE_STATUS_IO_ERROR;
    if (got > 0) {
        handle->read_bytes += static_cast<uint64_t>(got);
        *length = static_cast<SANE_Int>(got);
        outcome = SANE_STATUS_GOOD;
    } else if (interrupted) {
        *length = 0;
        outcome = handle->cancelled ? SANE_STATUS_CANCELLED : SANE_STATUS_GOOD;
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

}  // namespace

bool complete_initiated_cancel(device_t* handle, uint32_t cancels, const FrontendCall& call) {
    if (!call.alone() || handle->cancels == cancels) return false;
    stop_scan(handle);
    return true;
}

SANE_Status read_image(device_t* handle, SANE_Byte* buffer, SANE_Int* length) {
    if (handle == nullptr || buffer == nullptr || length == nullptr) {
        if (length != nullptr) *length = 0;
        return SANE_STATUS_INVAL;
    }
    FrontendCall call;
    const uint32_t cancels = handle->cancels;
    const SANE_Status status = read_from_pipe(handle, buffer, length);
    if (!complete_initiated_cancel(handle, cancels, call)) return status;
    *length = 0;
    return SANE_STATUS_CANCELLED;
}

SANE_Status cancel_scan(device_t* handle) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    FrontendCall call;
    if (call.alone()) {
        stop_scan(handle);
        return SANE_STATUS_GOOD;
    }
    // Only initiated (see FrontendCall), with async-signal-safe steps alone:
    // the call that was interrupted completes it before it returns (or, when
    // that call runs on another thread, the next call does: start clears
    // pages when it finds the flag raised).
    handle->cancelled = 1;
    ++handle->cancels;
    if (handle->thread_running) wake_reader(handle);
    return SANE_STATUS_GOOD;
}

void stop_scan(device_t* handle) {
    handle->cancelled = 1;
    ++handle->cancels;
    if (handle->thread_running) wait_for_reader(handle, true);
    handle->pages = 0;
}

void release_scan(device_t* handle) {
    // Close and exit have stopped the page already; should a thread still be
    // running, it is stopped too, so that the release stays within its bound.
    if (handle->thread_running) wait_for_reader(handle, true);
    handle->cancelled = 0;
    close_page_pipe(handle);
}
