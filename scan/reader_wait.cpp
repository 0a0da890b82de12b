// Waiting for a page's reader thread from the frontend's thread.
#include "scan/scan_internal.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "platform/build_paths.h"

void wait_for_reader(device_t* handle, bool stop) {
    using Clock = std::chrono::steady_clock;
    // A silent scan-manager would keep a stopping thread in its socket waits
    // for up to twice the limit (the pending reply, then the end exchange);
    // shutting the connection down ends every wait on it at once, so a
    // cancel never takes longer than the limit.
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kelvra::kSocketTimeoutSeconds * 1000L - 250);
    char scratch[65536];
    for (;;) {
        // Repeated, in case the signal landed before a blocking call.
        if (stop) pthread_kill(handle->thread, SIGUSR1);
        if (pthread_tryjoin_np(handle->thread, nullptr) == 0) break;
        if (stop && Clock::now() >= deadline) {
            if (handle->ipc != nullptr && handle->ipc->socket != -1) shutdown(handle->ipc->socket, SHUT_RDWR);
            pthread_join(handle->thread, nullptr);
            break;
        }
        if (handle->pipe_read_fd == -1) {
            // Nothing to drain: wait on the thread itself, so that a thread
            // finishing its end exchange is joined the moment it ends (a
            // plain sleep here delayed the next start by up to 20 ms).
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += 20 * 1000 * 1000;
            if (until.tv_nsec >= 1000 * 1000 * 1000) {
                until.tv_nsec -= 1000 * 1000 * 1000;
                ++until.tv_sec;
            }
            if (pthread_timedjoin_np(handle->thread, nullptr, &until) == 0) break;
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
}
