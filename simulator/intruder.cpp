#include "simulator/intruder.h"

#include "simulator/log.h"
#include "simulator/wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kelvra_sim {
namespace {

// An unknown command: if the intruder were served, its acknowledgement would
// come back, and the transcript would show the request.
constexpr uint32_t intruder_command = 99;
constexpr int intruder_wait_ms = 30 * 1000;

[[noreturn]] void run_child(uid_t uid, gid_t gid, int32_t port, int notify) {
    auto done = [notify](int status) {
        ssize_t ignored = ::write(notify, "x", 1);
        (void)ignored;
        _exit(status);
    };
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != notify) ::close(fd);
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 || ::geteuid() != uid) {
        log(1, "intruder: cannot become uid %u: %s", unsigned(uid), std::strerror(errno));
        done(intruder_no_user);
    }
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        log(1, "intruder: cannot connect: %s", std::strerror(errno));
        done(intruder_no_connection);
    }
    const FrameHeader request{intruder_command, direction_request, kind_none, 0};
    send_frame(s, request, nullptr, 0);
    log(1, "intruder: connected as uid %u and sent a request", unsigned(uid));
    ssize_t ignored = ::write(notify, "x", 1);
    (void)ignored;
    ::close(notify);

    pollfd watch{s, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&watch, 1, intruder_wait_ms)) < 0 && errno == EINTR) {
    }
    if (ready == 0) _exit(intruder_timeout);
    char byte;
    ssize_t n;
    while ((n = ::recv(s, &byte, 1, 0)) < 0 && errno == EINTR) {
    }
    _exit(n > 0 ? intruder_served : intruder_refused);
}

const char* outcome(int status) {
    switch (status) {
    case intruder_refused: return "its connection was closed without a reply";
    case intruder_served: return "it was SERVED";
    case intruder_no_connection: return "it could not connect";
    case intruder_no_user: return "it could not become its user";
    case intruder_timeout: return "nothing happened to its connection";
    default: return "unexpected status";
    }
}

}  // namespace

Intruder::~Intruder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

bool Intruder::start(const std::string& user, uid_t uid, gid_t gid, int32_t port) {
    user_ = user;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid_ == 0) {
        ::close(fds[0]);
        run_child(uid, gid, port, fds[1]);
    }
    ::close(fds[1]);
    // One byte once the child's request is on its way; end of file if it died first.
    char byte;
    while (::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    log(1, "intruder started as user %s (pid %d)", user.c_str(), int(pid_));
    return true;
}

void Intruder::finish(int timeout_ms) {
    if (pid_ <= 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            if (WIFEXITED(status))
                log(1, "intruder (user %s) exited with status %d: %s", user_.c_str(), WEXITSTATUS(status),
                    outcome(WEXITSTATUS(status)));
            else
                log(1, "intruder (user %s) ended by signal %d", user_.c_str(), WTERMSIG(status));
            return;
        }
        if ((r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            log(1, "intruder (user %s) still running", user_.c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace kelvra_sim
