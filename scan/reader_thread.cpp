// The reader thread of one page: read requests to the scan-manager, image
// bytes into the page's pipe, and the end-of-job exchange when the job ends.
// Also the SIGUSR1 that interrupts it on cancel.
#include <signal.h>

#include "scan/scan_internal.h"

namespace {

// Bytes past the page's end have nowhere to go. A scan-manager may send a
// few replies of them (padding, a last piece cut from a larger buffer)
// before it ends the page; one still sending after this many is not going
// to end it, and the page is refused rather than read forever (the next
// start would otherwise wait for this thread without end).
constexpr int kRepliesPastThePage = 16;

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

// Its only purpose is to exist: SIGUSR1 then interrupts the reader thread's
// blocking calls instead of ending the process.
void sigusr1_handler(int) {}

bool cancel_signal_is_ours() {
    struct sigaction current {};
    return sigaction(SIGUSR1, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
           current.sa_handler == sigusr1_handler;
}

// The frontend's SIGUSR1 action from before ours was first installed. When
// the library is unloaded (a meta-backend's dlclose) the handler's code goes
// with it, so while ours is still the one installed that action is put back
// exactly: the frontend's own handler, or its default, as it had them. An
// action the frontend set after ours is its own and stays.
struct CancelSignal {
    struct sigaction frontends {};
    bool saved = false;
    ~CancelSignal() {
        if (saved && cancel_signal_is_ours()) sigaction(SIGUSR1, &frontends, nullptr);
    }
} cancel_signal;

}  // namespace

void install_cancel_signal() {
    sigset_t empty;
    if (sigemptyset(&empty) != 0) return;
    struct sigaction action = {};
    action.sa_handler = sigusr1_handler;
    action.sa_mask = empty;
    action.sa_flags = SA_RESTART;
    struct sigaction previous = {};
    if (sigaction(SIGUSR1, &action, &previous) == 0 && !cancel_signal.saved) {
        cancel_signal.frontends = previous;
        cancel_signal.saved = true;
    }
}

void wake_reader(device_t* handle) {
    if (cancel_signal_is_ours()) pthread_kill(handle->thread, SIGUSR1);
}

void* reader_thread(void* argument) {
    device_t* handle = static_cast<device_t*>(argument);
    uint32_t read_status = READ_STATUS_MORE;
    SANE_Status result = SANE_STATUS_GOOD;
    int replies_past_the_page = 0;

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
        if (room == 0 && ++replies_past_the_page > kRepliesPastThePage) {
            result = SANE_STATUS_IO_ERROR;
            break;
        }
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
