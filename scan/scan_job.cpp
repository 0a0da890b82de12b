// Opening scan jobs and pages, and the frame parameters of the coming page.
//
// A job has no state field of its own; its state is the combination of
// `pages`, `status`, `cancelled`, the reader thread and the pipe:
//
//                     start, scan_status != 0
//        +--------+ ------------------------> +---------------+
//        | No job |                           | Start refused |
//        +--------+ <------- start fails ---  +---------------+
//            | start, scan_status 0                 | start, scan_status 0
//            v                                      v
//   +------------------+   read_status 1   +---------------------------+
//   | Page in transfer | ----------------> | Page delivered, job open  |
//   |  (thread alive)  | <---------------- |  (thread ended, pages>=2) |
//   +------------------+   start: new      +---------------------------+
//       |        |          pipe+thread,
//       |        |          nothing sent
//       |        | read_status 2 + end exchange
//       |        +-----------------------> Page delivered, job ended (pages 0)
//       | read_status 3/4/other, failure,
//       | cancel flag: end exchange, write end closed
//       +--------------------------------> Page stopped (pages 0, status set)
//
//   cancel from any state: flag raised, an unjoined thread joined, pages 0
//   -> Cancelled; every later read answers CANCELLED (or the stored status)
//   until the next start, which opens a new job. From a signal handler that
//   interrupted another call the cancel is only initiated, and that call
//   completes it (see FrontendCall).
//   start while a page is in transfer: the page is drained to its end; one
//   that does not end within the socket limit is stopped, and the start
//   fails with IO_ERROR -> Page stopped.
//   read reaching total_bytes: EOF, both pipe ends closed, state unchanged.
#include <signal.h>

#include "options/options.h"
#include "scan/scan_internal.h"

namespace {

SANE_Status exchange_parameters(device_t* handle) {
    ScanParameter parameter{};
    make_scan_parameter(handle->options, &parameter);
    SANE_Status status = send_scan_parameter(handle->ipc, &parameter);
    if (status != SANE_STATUS_GOOD) return status;
    return receive_image_info(handle->ipc, &handle->image);
}

SANE_Status status_of_refusal(int32_t scan_status) {
    switch (scan_status) {
        case SCAN_STATUS_NO_DOCUMENT: return SANE_STATUS_NO_DOCS;
        case SCAN_STATUS_BUSY: return SANE_STATUS_DEVICE_BUSY;
        case SCAN_STATUS_JAMMED: return SANE_STATUS_JAMMED;
        default: return SANE_STATUS_IO_ERROR;
    }
}

// The reader thread takes no process-directed signal but SIGUSR1: a
// frontend's SIGINT handler that calls sane_cancel must run on a frontend
// thread, never on the thread it is about to join.
int create_reader_thread(device_t* handle) {
    sigset_t blocked, previous;
    sigfillset(&blocked);
    sigdelset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    int result = pthread_create(&handle->thread, nullptr, reader_thread, handle);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

// Opens a job when none is open, then the page's pipe and reader thread.
SANE_Status open_page(device_t* handle) {
    if (handle->pages == 0) {
        install_cancel_signal();
        SANE_Status status = exchange_parameters(handle);
        if (status == SANE_STATUS_GOOD) status = send_start_scan(handle->ipc);
        int32_t scan_status = 4;
        if (status == SANE_STATUS_GOOD) status = receive_scan_status(handle->ipc, &scan_status);
        if (status != SANE_STATUS_GOOD) return status;
        if (scan_status != SCAN_STATUS_STARTED) {
            handle->status = status_of_refusal(scan_status);
            return SANE_STATUS_GOOD;
        }
        handle->pages = 1;
        handle->total_bytes = static_cast<uint64_t>(handle->image.height) * handle->image.bytes_per_row;
    }

    if (!open_page_pipe(handle)) return SANE_STATUS_NO_MEM;

    if (create_reader_thread(handle) != 0) {
        close_page_pipe(handle);
        return SANE_STATUS_INVAL;
    }
    handle->thread_running = 1;
    return SANE_STATUS_GOOD;
}

}  // namespace

SANE_Status start_scan(device_t* handle) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    FrontendCall call;
    const uint32_t cancels = handle->cancels;

    // The previous page's thread is waited for, not stopped: a frontend that
    // starts the next page without reading this one to its end has what it
    // left unread discarded, and the job goes on. A page that does not end
    // within the socket limit is stopped as a cancel would stop it, and the
    // start fails.
    bool page_ended = true;
    if (handle->thread_running) page_ended = wait_for_reader(handle, false);
    // A cancel that another thread could only initiate ended the job.
    if (handle->cancelled) handle->pages = 0;

    handle->cancelled = 0;
    handle->status = SANE_STATUS_GOOD;
    handle->read_bytes = 0;
    handle->received_bytes = 0;
    close_page_pipe(handle);

    if (!page_ended) {
        handle->pages = 0;
        handle->cancelled = 1;
        handle->status = SANE_STATUS_IO_ERROR;
        return SANE_STATUS_IO_ERROR;
    }
    // A cancel from a signal handler while this start runs cancels the start
    // itself: before the job is opened nothing more is sent, after it the
    // new page is stopped.
    if (handle->cancels != cancels) {
        handle->pages = 0;
        handle->cancelled = 1;
        return SANE_STATUS_CANCELLED;
    }
    const SANE_Status status = open_page(handle);
    if (complete_initiated_cancel(handle, cancels, call)) return SANE_STATUS_CANCELLED;
    return status;
}

SANE_Status get_scan_parameters(device_t* handle, SANE_Parameters* params) {
    if (handle == nullptr || params == nullptr) return SANE_STATUS_INVAL;
    FrontendCall call;
    const uint32_t cancels = handle->cancels;

    const SANE_Status status = handle->thread_running ? SANE_STATUS_GOOD : exchange_parameters(handle);
    complete_initiated_cancel(handle, cancels, call);
    if (status != SANE_STATUS_GOOD) return status;

    const ImageInfo& image = handle->image;
    params->format = image.color_space == 1 ? SANE_FRAME_GRAY : SANE_FRAME_RGB;
    params->last_frame = SANE_TRUE;
    params->bytes_per_line = static_cast<SANE_Int>(image.bytes_per_row);
    params->pixels_per_line = static_cast<SANE_Int>(image.width);
    params->lines = static_cast<SANE_Int>(image.height);
    params->depth = static_cast<SANE_Int>(image.bits_per_component);
    return SANE_STATUS_GOOD;
}
