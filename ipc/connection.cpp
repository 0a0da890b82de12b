// Starting a scan-manager child, learning its port over a pipe, connecting to
// it on the loopback address, and ending it again.
#include "ipc/ipc.h"

#include "ipc/connection_trace.h"
#include "platform/build_paths.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The port message is bounded in time: a scan-manager that neither writes
// nor ends must not hold the frontend forever. On a timeout, a short or a
// failed read, the port stays -1.
int32_t read_port(int fd) {
    const auto deadline = Clock::now() + std::chrono::seconds(kelvra::kSocketTimeoutSeconds);
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        int n = poll(&ready, 1, milliseconds_left(deadline));
        if (n > 0) break;
        if (n == 0) return -1;
        if (errno != EINTR) return -1;
    }
    int32_t port = -1;
    ssize_t got;
    do {
        got = read(fd, &port, sizeof port);
    } while (got < 0 && errno == EINTR);
    // Only a whole message counts: a cut one is no port.
    return got == static_cast<ssize_t>(sizeof port) ? port : -1;
}

// True once the child has been reaped here or elsewhere. ECHILD means it was
// reaped already, or the frontend ignores SIGCHLD and the system reaped it;
// *wait_status is then left as it was.
bool child_ended(pid_t pid, int* wait_status) {
    for (;;) {
        pid_t r = waitpid(pid, wait_status, WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno == ECHILD) return true;
        if (errno != EINTR) return true;  // nothing left to wait for that we could wait for
    }
}

// A descriptor that becomes readable when the process ends, or -1 where the
// kernel (or the C library's headers) lack pidfd_open. Close-on-exec by design.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Waits up to the grace period for the child to end by itself. A child that
// has not been reaped keeps its pid, so the pidfd names the right process.
bool wait_for_child(pid_t pid, int grace_ms, int* wait_status) {
    if (child_ended(pid, wait_status)) return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
    int pidfd = open_pidfd(pid);
    if (pidfd >= 0) {
        for (;;) {
            pollfd ready{pidfd, POLLIN, 0};
            int n = poll(&ready, 1, milliseconds_left(deadline));
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        close(pidfd);
        return child_ended(pid, wait_status);
    }
    // Kernels without pidfd: look again every few milliseconds.
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (child_ended(pid, wait_status)) return true;
    }
    return child_ended(pid, wait_status);
}

// Closes every descriptor from 3 up but `keep`, so that the scan-manager
// inherits only the standard streams and its port pipe, never a frontend's
// sockets or files that lack close-on-exec (a daemon's client connection, a
// GUI's documents). Runs in the child between fork and exec: system calls
// only, no allocation. (A process that execs never writes its coverage
// counters: the child's code is left out of the figures.)
// GCOVR_EXCL_START
void close_inherited_descriptors(int keep) {
#ifdef SYS_close_range
    // `keep` may lie below 3 when the frontend closed a standard stream.
    const bool below = keep <= 3 || syscall(SYS_close_range, 3u, unsigned(keep - 1), 0u) == 0;
    const unsigned above = keep < 3 ? 3u : unsigned(keep + 1);
    if (below && syscall(SYS_close_range, above, ~0u, 0u) == 0) return;
#endif
    // Kernels without close_range: the descriptors listed in /proc/self/fd,
    // read with getdents64 into a buffer on the stack.
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    alignas(8) char buffer[4096];
    for (;;) {
        long got = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            int fd = 0;
            const char* digit = entry->d_name;
            if (*digit < '0' || *digit > '9') continue;
            for (; *digit >= '0' && *digit <= '9'; ++digit) fd = fd * 10 + (*digit - '0');
            if (fd >= 3 && fd != keep && fd != dir) close(fd);
        }
    }
    close(dir);
}

// Gives the scan-manager a signal state of its own instead of the frontend's:
// every action back to its default and nothing blocked, so that it can be
// stopped the usual way and chose none of its dispositions itself. Runs in the
// child between fork and exec: async-signal-safe calls only.
void reset_signal_state() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    // SIGKILL, SIGSTOP and the C library's own signals refuse; nothing to do for them.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        sigaction(signal_number, &default_action, nullptr);
    sigset_t nothing;
    sigemptyset(&nothing);
    sigprocmask(SIG_SETMASK, &nothing, nullptr);
}
// GCOVR_EXCL_STOP

// Makes the record's socket, with its time limits, and connects it to the
// reported port on the loopback address. The socket stays in the record
// whatever happens, for ipc_close.
SANE_Status connect_to_port(ipc_t* ipc) {
    ipc->socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ipc->socket < 0) {
        ipc->socket = -1;
        return SANE_STATUS_IO_ERROR;
    }

    timeval limit{};
    limit.tv_sec = kelvra::kSocketTimeoutSeconds;
    limit.tv_usec = 0;
    if (setsockopt(ipc->socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return SANE_STATUS_IO_ERROR;
    if (setsockopt(ipc->socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return SANE_STATUS_IO_ERROR;
    // Every request waits for its reply, so nothing is gained by holding a
    // small segment back; a failure here costs only speed, never the link.
    const int no_delay = 1;
    setsockopt(ipc->socket, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(static_cast<uint32_t>(ipc->port) & 0xFFFFu));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(ipc->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return SANE_STATUS_GOOD;
    // A connect interrupted by one of the frontend's signals (its timer, say)
    // is never restarted on a socket with time limits, but goes on by itself:
    // its outcome is waited for, within the send limit, rather than taken
    // for a failure.
    if (errno != EINTR) return SANE_STATUS_IO_ERROR;
    const auto deadline = Clock::now() + std::chrono::seconds(kelvra::kSocketTimeoutSeconds);
    for (;;) {
        pollfd writable{ipc->socket, POLLOUT, 0};
        const int n = poll(&writable, 1, milliseconds_left(deadline));
        if (n > 0) break;
        if (n == 0 || errno != EINTR) return SANE_STATUS_IO_ERROR;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(ipc->socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return SANE_STATUS_IO_ERROR;
    return SANE_STATUS_GOOD;
}

}  // namespace

namespace {

// Starts the scan-manager, reads its port and connects; the record keeps
// whatever was reached. A child that ended at once leaves its status in
// *ended (for the trace: it is reaped here, so the close cannot learn it).
SANE_Status start_and_connect(ipc_t* ipc, int* ended) {
    // Close-on-exec everywhere, so that no scan-manager inherits the pipes and
    // sockets of other connections; the child re-enables the one end it needs.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return SANE_STATUS_IO_ERROR;
    const int read_end = fds[0];
    const int write_end = fds[1];

    // Formatted before the fork: snprintf is not async-signal-safe, and other
    // threads of the frontend may hold its locks at the moment of the fork.
    char fd_argument[8];
    snprintf(fd_argument, sizeof fd_argument, "%d", write_end);

    ipc->pid = fork();
    if (ipc->pid < 0) {
        ipc->pid = -1;
        close(read_end);
        close(write_end);
        return SANE_STATUS_IO_ERROR;
    }
    if (ipc->pid == 0) {  // GCOVR_EXCL_START
        // Child: async-signal-safe calls only, then the scan-manager.
        close(read_end);
        close_inherited_descriptors(write_end);
        reset_signal_state();
        fcntl(write_end, F_SETFD, 0);
        execl(kelvra::kScanManagerPath, kelvra::kScanManagerPath, fd_argument, static_cast<char*>(nullptr));
        close(write_end);
        _exit(1);
    }  // GCOVR_EXCL_STOP

    close(write_end);
    if (waitpid(ipc->pid, ended, WNOHANG) != 0) {
        close(read_end);
        return SANE_STATUS_IO_ERROR;
    }

    ipc->port = read_port(read_end);
    close(read_end);
    if (ipc->port < 0) {
        ipc->port = -1;
        return SANE_STATUS_IO_ERROR;
    }

    return connect_to_port(ipc);
}

}  // namespace

SANE_Status ipc_open(ipc_t** out) {
    if (out == nullptr) return SANE_STATUS_INVAL;

    ipc_t* ipc = new (std::nothrow) ipc_t{-1, -1, -1};
    if (ipc == nullptr) return SANE_STATUS_NO_MEM;
    ipc->trace = kelvra::trace::next_connection();

    int ended = -1;
    const SANE_Status status = start_and_connect(ipc, &ended);
    *out = ipc;
    if (ipc->trace != 0) kelvra::ipc::trace_start(ipc, status, ended);
    return status;
}

SANE_Status ipc_close(ipc_t* ipc) {
    if (ipc == nullptr) return SANE_STATUS_INVAL;

    // Closing the connection is the scan-manager's signal to end.
    if (ipc->socket != -1) close(ipc->socket);

    int wait_status = -1;
    bool killed = false;
    if (ipc->pid != -1) {
        // A scan-manager that hangs must not hold the frontend: after the grace
        // period it is killed, and in every case it is reaped (no zombie).
        if (!wait_for_child(ipc->pid, kelvra::kChildGraceMilliseconds, &wait_status)) {
            kill(ipc->pid, SIGKILL);
            killed = true;
            while (waitpid(ipc->pid, &wait_status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    if (ipc->trace != 0) kelvra::ipc::trace_exit(ipc, wait_status, killed);
    delete ipc;
    return SANE_STATUS_GOOD;
}
