// Waiting for a page's reader thread from the frontend's thread: the one
// place that joins it.
//
// The bounds, L being the socket limit:
//  - stop (cancel, close, exit): the thread is told at once; a thread still
//    waiting on a silent scan-manager shortly before L has the connection
//    cut under it, which ends every wait on it. At most about L.
//  - the next start, which lets the page end by itself: the page has L to do
//    so, then it is stopped as above. At most about 2L.
#include "scan/scan_internal.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "platform/build_paths.h"

namespace {

using Clock = std::chrono::steady_clock;

// Joins the thread if it ends within 20 ms.
bool joined_within_20_ms(pthread_t thread) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 20 * 1000 * 1000;
    if (until.tv_nsec >= 1000 * 1000 * 1000) {
        until.tv_nsec -= 1000 * 1000 * 1000;
        ++until.tv_sec;
    }
    return pthread_timedjoin_np(thread, nullptr, &until) == 0;
}

}  // namespace

bool wait_for_reader(device_t* handle, bool stop) {
    const auto limit = std::chrono::milliseconds(kelvra::kSocketTimeoutSeconds * 1000L);
    const auto began = Clock::now();
    // The page's own end is waited for up to the limit; a stop starts at once.
    const auto stop_at = stop ? began : began + limit;
    bool stopping = false, stopped_here = false, cut = false;
    Clock::time_point cut_at{};
    char scratch[65536];
    for (;;) {
        const auto now = Clock::now();
        // A cancel raised meanwhile (from a signal handler that interrupted
        // this wait) turns the wait into a stop.
        if (!stopping && (stop || handle->cancelled || now >= stop_at)) {
            stopping = true;
            stopped_here = !stop && !handle->cancelled;
            handle->cancelled = 1;
            // A silent scan-manager would keep a stopping thread in its socket
            // waits up to the limit (the pending reply) and again for the end
            // exchange; cutting the connection first ends them at once.
            cut_at = now + limit - std::chrono::milliseconds(250);
        }
        // Repeated, in case the signal landed before a blocking call.
        if (stopping) wake_reader(handle);
        if (pthread_tryjoin_np(handle->thread, nullptr) == 0) break;
        if (stopping && !cut && now >= cut_at) {
            if (handle->ipc != nullptr && handle->ipc->socket != -1) shutdown(handle->ipc->socket, SHUT_RDWR);
            cut = true;  // the thread now fails at once; the pipe is still drained below
        }
        if (handle->pipe_read_fd == -1) {
            // Nothing to drain: wait on the thread itself, so that a thread
            // finishing its end exchange is joined the moment it ends (a
            // plain sleep here delayed the next start by up to 20 ms).
            if (joined_within_20_ms(handle->thread)) break;
            continue;
        }
        pollfd readable{handle->pipe_read_fd, POLLIN, 0};
        if (poll(&readable, 1, 20) <= 0) continue;
        if (read(handle->pipe_read_fd, scratch, sizeof scratch) == 0) {
            // The write end is closed: the thread is on its way out.
            pthread_join(handle->thread, nullptr);
            break;
        }
    }
    handle->thread_running = 0;
    return !stopped_here;
}
