#include "simulator/handshake.h"

#include "simulator/log.h"
#include "simulator/peer_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace kelvra_sim {
namespace {

// A client that never connects (its start failed on its side) must not leave
// the simulator behind for ever.
constexpr int accept_timeout_ms = 60 * 1000;

bool write_port(int fd, int32_t port) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&port);
    size_t done = 0;
    while (done < sizeof port) {
        ssize_t n = ::write(fd, bytes + done, sizeof port - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// A socket bound to 127.0.0.1 at a port of the kernel's choice; -1 on failure.
int bound_socket(int32_t& port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(s);
        return -1;
    }
    port = ntohs(address.sin_port);
    return s;
}

// Accepts connections until one comes from a socket of this process's own
// user and returns it; any other is closed at once. -1 when nobody came in
// time, -2 when accepting failed.
int accept_own_user(int listener, Transcript& transcript) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(accept_timeout_ms);
    const uid_t me = ::geteuid();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd waiting{listener, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&waiting, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            error("no client connected within %d seconds: exiting", accept_timeout_ms / 1000);
            return -1;
        }
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            error("accepting a connection failed: %s", std::strerror(errno));
            return -2;
        }
        std::string why;
        const std::optional<uid_t> owner = peer_uid(connection, why);
        if (owner && *owner == me) {
            transcript.connection(true, owner, {});
            return connection;
        }
        if (owner) {
            why = "only uid " + std::to_string(me) + " is served";
            log(1, "refused a connection from uid %u: %s; closed", unsigned(*owner), why.c_str());
        } else {
            log(1, "refused a connection whose owner is unknown (%s); closed", why.c_str());
        }
        transcript.connection(false, owner, why);
        ::close(connection);
    }
}

// Binds and listens, then reports the port through the pipe; -1 with
// `status` set when any of it fails.
int listen_and_report(const StartupFault& startup, int pipe_fd, Intruder& intruder, Transcript& transcript,
                      int& status) {
    int32_t port = -1;
    int listener = bound_socket(port);
    if (listener < 0 || ::listen(listener, 1) != 0) {
        error("cannot listen on 127.0.0.1: %s", std::strerror(errno));
        status = 1;
        return -1;
    }
    int32_t reported = port;
    if (startup.port) reported = *startup.port;
    if (startup.port_add) reported = int32_t(int64_t(port) + *startup.port_add);
    if (reported != port) {
        log(1, "startup fault: reporting port %d instead of %d", reported, port);
        transcript.startup_fault(startup, StartupAction::none);
    }
    transcript.listening(port, reported);
    if (startup.intruder && !intruder.start(*startup.intruder, startup.intruder_uid, startup.intruder_gid, port)) {
        error("cannot start the intruder: %s", std::strerror(errno));
        status = 1;
        return -1;
    }
    if (!write_port(pipe_fd, reported)) {
        error("cannot write the port to descriptor %d: %s", pipe_fd, std::strerror(errno));
        status = 1;
        return -1;
    }
    ::close(pipe_fd);
    log(1, "listening on 127.0.0.1 port %d", port);
    return listener;
}

}  // namespace

int play_startup_fault(StartupAction action, int pipe_fd) {
    switch (action) {
    case StartupAction::exit:
        log(1, "startup fault: exiting without a port");
        return 0;
    case StartupAction::hang:
        log(1, "startup fault: hanging without a port");
        for (;;) ::pause();
    case StartupAction::unbound: {
        int32_t port = -1;
        int s = bound_socket(port);
        if (s >= 0) ::close(s);
        log(1, "startup fault: reporting port %d, where nothing listens", port);
        write_port(pipe_fd, port);
        ::close(pipe_fd);
        return 0;
    }
    case StartupAction::none: break;
    }
    return 0;
}

int connect_client(const StartupFault& startup, int pipe_fd, Intruder& intruder, Transcript& transcript, int& status) {
    const int listener = listen_and_report(startup, pipe_fd, intruder, transcript, status);
    if (listener < 0) return -1;
    const int connection = accept_own_user(listener, transcript);
    ::close(listener);
    if (startup.intruder) intruder.finish(2000);
    if (connection < 0) {
        status = connection == -1 ? 0 : 1;
        return -1;
    }
    const int on = 1;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Room for a whole default piece in the kernel, so that one send call
    // usually hands over a complete image reply.
    const int send_buffer = 4 << 20;
    ::setsockopt(connection, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    log(1, "client connected");
    return connection;
}

}  // namespace kelvra_sim
