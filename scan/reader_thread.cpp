// The reader thread of one page: read requests to the scan-manager, image
// bytes into the page's pipe, and the end-of-job exchange when the job ends.
#include <signal.h>

#include "scan/scan_internal.h"

namespace {

// Ends the page on read_status; GOOD keeps the loop going only for 0.
SANE_Status act_on_read_status(device_t* handle, uint32_t read_status) {
    switch (read_status) {
        case READ_STATUS_MORE: return SANE_STATUS_GOOD;
        case READ_STATUS_NEXT_PAGE: ++handle->pages; return SANE_STATUS_GOOD;
        case READ_STATUS_JOB_END: handle->pages = 0; return SANE_STATUS_GOOD;
        case READ_STATUS_CANCELLED: handle->cancelled = 1; return SANE_STATUS_CANCELLED;
        case READ_STATUS_JAMMED: return SANE_STATUS_JAMMED;
        default: return SANE_STATUS_INVAL;
    }
}

void end_job(device_t* handle) {
    if (send_end_scan(handle->ipc) == SANE_STATUS_GOOD) receive_end_ack(handle->ipc);
    handle->pages = 0;
}

}  // namespace

// Its only purpose is to exist: SIGUSR1 then interrupts the reader thread's
// blocking calls instead of ending the process.
void sigusr1_handler(int) {}

void* reader_thread(void* argument) {
    device_t* handle = static_cast<device_t*>(argument);
    uint32_t read_status = READ_STATUS_MORE;
    SANE_Status result = SANE_STATUS_GOOD;

    for (;;) {
        if (handle->cancelled) {
            result = SANE_STATUS_CANCELLED;
            break;
        }
        size_t count = 0;
        result = send_read_request(handle->ipc);
        if (result != SANE_STATUS_GOOD) break;
        // Bytes beyond the page's size have no reader: the frontend gets EOF
        // at total_bytes and the pipe may be closed by then.
        uint64_t room = handle->total_bytes > handle->received_bytes
                            ? handle->total_bytes - handle->received_bytes
                            : 0;
        result = receive_read_reply(handle->ipc, handle->pipe_write_fd.load(), &count, &handle->cancelled,
                                    &read_status, room);
        if (result != SANE_STATUS_GOOD) break;
        handle->received_bytes += count;
        result = act_on_read_status(handle, read_status);
        if (read_status != READ_STATUS_MORE || result != SANE_STATUS_GOOD) break;
    }

    if (handle->cancelled) {
        result = SANE_STATUS_CANCELLED;
        end_job(handle);
    } else if (result != SANE_STATUS_GOOD || read_status == READ_STATUS_JOB_END) {
        end_job(handle);
    }

    handle->status = result;

    // The write end is closed whenever the page ends, also when it ended
    // well. Nothing more is written into this pipe (the next page gets a new
    // one), and its end of file is what a frontend that polls the select
    // descriptor (saned) waits for before it calls read and learns EOF. A
    // page that ended well but short of total_bytes turns the frontend's wait
    // for the missing bytes into that end of file, which the read reports as
    // IO_ERROR (the page is incomplete).
    close_page_pipe_write_end(handle);
    return nullptr;
}

namespace {

// The cancel signal's action stays installed while the library is loaded.
// When the library is unloaded (a meta-backend's dlclose) the handler's code
// goes with it, so the action is set back to ignoring the signal: a late
// SIGUSR1 must not jump into unmapped memory.
struct CancelSignalGuard {
    ~CancelSignalGuard() {
        struct sigaction current = {};
        if (sigaction(SIGUSR1, nullptr, &current) == 0 && current.sa_handler == sigusr1_handler) {
            struct sigaction ignore = {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGUSR1, &ignore, nullptr);
        }
    }
} cancel_signal_guard;

}  // namespace
