// The frontend's side of a page: reading the pipe, cancelling, and letting
// go of a handle's page.
#include <unistd.h>

#include "scan/scan_internal.h"

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
        close_page_pipe(handle);
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

SANE_Status cancel_scan(device_t* handle) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    handle->cancelled = 1;
    if (handle->thread_running) wait_for_reader(handle, true);
    handle->pages = 0;
    return SANE_STATUS_GOOD;
}

void release_scan(device_t* handle) {
    if (handle->thread_running) {
        pthread_join(handle->thread, nullptr);
        handle->thread_running = 0;
    }
    handle->cancelled = 0;
    close_page_pipe(handle);
}
