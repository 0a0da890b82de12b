// The trace's session: the environment read once, the file opened safely,
// the session's first record, connection numbers, and the one write a record
// takes.
#include "trace/trace.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kelvra::trace {

std::atomic<State> g_state{State::unknown};

namespace {

// Guards the start and the end of a session; records never take it.
pthread_mutex_t g_session_lock = PTHREAD_MUTEX_INITIALIZER;

std::atomic<int> g_fd{-1};
std::atomic<int64_t> g_began_us{0};
std::atomic<uint32_t> g_connections{0};
std::atomic<uint32_t> g_open_connections{0};
std::atomic<bool> g_images{false};

struct SessionLock {
    SessionLock() { pthread_mutex_lock(&g_session_lock); }
    ~SessionLock() { pthread_mutex_unlock(&g_session_lock); }
};

int64_t clock_us(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The file is often named in a shared folder such as /tmp: never followed
// through a symbolic link, only a regular file of our own user, created
// private. Non-blocking only for the open: a FIFO must not hold the
// frontend until someone reads it (it is refused right after).
int open_trace_file(const char* path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat about {};
    if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode) || about.st_uid != geteuid() ||
        fcntl(fd, F_SETFL, O_APPEND) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void end_session() {
    if (g_open_connections.load() != 0) return;
    const int fd = g_fd.exchange(-1);
    if (fd >= 0) close(fd);
    g_state.store(State::unknown, std::memory_order_release);
}

}  // namespace

bool start() {
    const int saved_errno = errno;
    SessionLock lock;
    const State state = g_state.load(std::memory_order_acquire);
    if (state != State::unknown) {
        errno = saved_errno;
        return state == State::on;
    }
    const char* path = std::getenv("KELVRA_TRACE");
    const int fd = path != nullptr && *path != '\0' ? open_trace_file(path) : -1;
    if (fd < 0) {
        g_state.store(State::off, std::memory_order_release);
        errno = saved_errno;
        return false;
    }
    const char* images = std::getenv("KELVRA_TRACE_IMAGES");
    g_images = images != nullptr && std::strcmp(images, "1") == 0;
    g_connections = 0;
    g_began_us = clock_us(CLOCK_MONOTONIC);
    g_fd = fd;
    // Time stamps count from here; the wall clock of this moment lets the
    // sessions of several processes in one file be merged.
    Record("trace")
        .add("version", kFormatVersion)
        .add("epoch_us", clock_us(CLOCK_REALTIME))
        .add("program", program_invocation_short_name)
        .add("library", "kelvra " KELVRA_VERSION)
        .add("images", g_images.load())
        .write();
    g_state.store(State::on, std::memory_order_release);
    errno = saved_errno;
    return true;
}

void restart() {
    SessionLock lock;
    end_session();
}

void stop() {
    SessionLock lock;
    end_session();
}

uint32_t next_connection() {
    if (!on()) return 0;
    ++g_open_connections;
    return ++g_connections;
}

void connection_ended(uint32_t connection) {
    if (connection != 0) --g_open_connections;
}

bool with_images() { return g_images.load(std::memory_order_relaxed); }

Record::Record(const char* event) {
    const int saved_errno = errno;
    append("{\"time_us\":");
    add_number(clock_us(CLOCK_MONOTONIC) - g_began_us.load(std::memory_order_relaxed));
    append(",\"pid\":");
    add_number(int64_t{getpid()});
    append(",\"event\":");
    quoted(event);
    append(",\"thread\":");
    add_number(int64_t{gettid()});
    errno = saved_errno;
}

void Record::write() {
    const int fd = g_fd.load(std::memory_order_acquire);
    if (fd < 0 || broken_) return;
    const int saved_errno = errno;
    append("}\n");
    // One write per record: appends of one process do not interleave. A
    // write that a signal cut short goes on with the rest.
    size_t done = 0;
    while (!broken_ && done < size_) {
        const ssize_t n = ::write(fd, data_ + done, size_ - done);
        if (n > 0) done += size_t(n);
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
    errno = saved_errno;
}

}  // namespace kelvra::trace
