// kelvra-sim: a scan-manager simulator. It keeps the scan-manager's side of
// the backend's protocol, serves virtual devices with deterministic test
// pages and injects the faults a scenario file asks for.
#include "simulator/intruder.h"
#include "simulator/log.h"
#include "simulator/peer_check.h"
#include "simulator/scenario.h"
#include "simulator/session.h"
#include "simulator/transcript.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kelvra_sim;

namespace {

// A client that never connects (its start failed on its side) must not leave
// the simulator behind for ever.
constexpr int accept_timeout_ms = 60 * 1000;

const char usage[] =
    "Usage: kelvra-sim FD\n"
    "       kelvra-sim --help\n"
    "\n"
    "A scan-manager simulator for the kelvra SANE backend. The backend starts it\n"
    "the way it starts the real scan-manager: as a child process whose only\n"
    "argument FD is the number of an inherited pipe descriptor. The simulator\n"
    "listens on 127.0.0.1 at a port of the kernel's choice, writes that port to\n"
    "FD as a 4-byte native int, closes FD, and serves the first connection that\n"
    "comes from a socket of its own user (others are closed at once); then it\n"
    "stops listening and exits when that connection closes.\n"
    "\n"
    "Build the backend's demo flavour (build/demo/libsane-kelvra.so.1) to use it\n"
    "in place of the real scan-manager, or install it at the scan-manager's path.\n"
    "\n"
    "Environment:\n"
    "  KELVRA_SIM_SCENARIO  path of a scenario file (XML). Unset: four built-in\n"
    "                       devices (fb-a4, mfp-adf, duplex-legal, net-office),\n"
    "                       test-chart pages and no faults.\n"
    "  KELVRA_SIM_LOG       log verbosity on standard error, overriding the\n"
    "                       scenario: 0 nothing (default), 1 start, devices, jobs,\n"
    "                       refused connections and faults, 2 every request and\n"
    "                       reply, 3 payload texts.\n"
    "\n"
    "Scenario file, in short:\n"
    "  <scenario transcript=\"FILE\" piece_size=\"262144\" piece_delay_ms=\"0\" log=\"0\">\n"
    "    <startup port=\"-1\" | port_add=\"N\" | action=\"exit|hang|unbound\"  intruder=\"USER\"/>\n"
    "    <device name=\"..\" vendor=\"..\" model=\"..\" type=\"..\" host=\"..\" units=\"flatbed adf\"\n"
    "            sheets=\"3\" flatbed=\"minW maxW minH maxH\" adf=\"..\" .../>   (replace the built-ins)\n"
    "    <source file=\"page.png\"/>             (every page from a PNM or PNG file)\n"
    "    <source page=\"P\" file=\"page2.pgm\"/>   (page P from its own file)\n"
    "    <reply command=\"C\" nth=\"K\" action=\"reply|silence|close|exit|close-mid-header|\n"
    "           close-mid-payload|split\" body=\"..\" body_size=\"N\" header_command=\"..\"\n"
    "           direction=\"..\" kind=\"..\" length=\"..\" delay_ms=\"..\" bytes=\"..\"/>\n"
    "    <page number=\"P\" at_byte=\"B\" read_status=\"N\" | action=\"close|silence|malformed|exit\"/>\n"
    "    <page number=\"P\" extra=\"N\"/>\n"
    "  </scenario>\n"
    "Page files are scaled to the scan by nearest neighbour and turned grey or\n"
    "colour as the scan asks; a relative path is taken from the scenario's folder.\n"
    "The intruder (root only) is a process of USER that connects first; it is refused.\n"
    "\n"
    "Full documentation: kelvra-sim(1), and doc/kelvra-sim-scenario.md in the\n"
    "kelvra sources.\n"
    "\n"
    "Exit status: 0 when the connection ended normally or by a scripted fault,\n"
    "or nobody connected within 60 seconds; 1 when the client broke the protocol\n"
    "or the connection failed; 2 for bad arguments or a bad scenario file.\n";

bool parse_descriptor(const char* text, int& fd) {
    if (text == nullptr || *text == '\0') return false;
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 1000000) return false;
    }
    fd = int(value);
    return ::fcntl(fd, F_GETFD) != -1;
}

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

int log_level_from_environment(const Scenario& scenario, bool& bad) {
    const char* text = std::getenv("KELVRA_SIM_LOG");
    if (text == nullptr || *text == '\0') return scenario.log.value_or(0);
    char* end = nullptr;
    long level = std::strtol(text, &end, 10);
    if (*end != '\0' || level < 0 || level > 3) {
        bad = true;
        return 0;
    }
    return int(level);
}

// Accepts connections until one comes from a socket of this process's own
// user and returns it; any other is closed at once. -1 when nobody came in
// time, -2 when accepting failed.
int accept_own_user(int listener) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(accept_timeout_ms);
    const uid_t me = ::geteuid();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd waiting{listener, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&waiting, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            log(1, "no client connected within %d seconds: exiting", accept_timeout_ms / 1000);
            return -1;
        }
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            log(1, "accept failed: %s", std::strerror(errno));
            return -2;
        }
        std::string why;
        const std::optional<uid_t> owner = peer_uid(connection, why);
        if (owner && *owner == me) return connection;
        if (owner)
            log(1, "refused a connection from uid %u: only uid %u is served; closed", unsigned(*owner), unsigned(me));
        else
            log(1, "refused a connection whose owner is unknown (%s); closed", why.c_str());
        ::close(connection);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);

    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    int pipe_fd = -1;
    if (argc != 2) {
        error("expected exactly one argument, the number of an open descriptor to write the port to");
        std::fputs("Try 'kelvra-sim --help'.\n", stderr);
        return 2;
    }
    if (!parse_descriptor(argv[1], pipe_fd)) {
        error("\"%s\" is not the number of an open descriptor to write the port to", argv[1]);
        std::fputs("Try 'kelvra-sim --help'.\n", stderr);
        return 2;
    }

    Scenario scenario;
    const char* scenario_path = std::getenv("KELVRA_SIM_SCENARIO");
    if (scenario_path != nullptr && *scenario_path != '\0') {
        std::string problem;
        if (!load_scenario(scenario_path, scenario, problem)) {
            error("bad scenario: %s", problem.c_str());
            return 2;
        }
    }
    bool bad_level = false;
    set_log_level(log_level_from_environment(scenario, bad_level));
    if (bad_level) {
        error("KELVRA_SIM_LOG must be a number from 0 to 3");
        return 2;
    }

    Transcript transcript;
    if (!scenario.transcript.empty() && !transcript.open(scenario.transcript)) {
        error("cannot open the transcript %s: %s", scenario.transcript.c_str(), std::strerror(errno));
        return 2;
    }

    log(1, "starting with %s; %zu device(s)%s",
        scenario_path != nullptr && *scenario_path != '\0' ? scenario_path : "no scenario",
        scenario.devices.empty() ? size_t(4) : scenario.devices.size(),
        scenario.devices.empty() ? " (built-in)" : "");

    const StartupFault startup = scenario.startup.value_or(StartupFault{});
    switch (startup.action) {
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

    int32_t port = -1;
    int listener = bound_socket(port);
    if (listener < 0 || ::listen(listener, 1) != 0) {
        error("cannot listen on 127.0.0.1: %s", std::strerror(errno));
        return 1;
    }
    int32_t reported = port;
    if (startup.port) reported = *startup.port;
    if (startup.port_add) reported = int32_t(int64_t(port) + *startup.port_add);
    if (reported != port) log(1, "startup fault: reporting port %d instead of %d", reported, port);
    Intruder intruder;
    if (startup.intruder && !intruder.start(*startup.intruder, startup.intruder_uid, startup.intruder_gid, port)) {
        error("cannot start the intruder: %s", std::strerror(errno));
        return 1;
    }
    if (!write_port(pipe_fd, reported)) {
        log(1, "cannot write the port: %s", std::strerror(errno));
        return 1;
    }
    ::close(pipe_fd);
    log(1, "listening on 127.0.0.1 port %d", port);

    const int connection = accept_own_user(listener);
    ::close(listener);
    if (startup.intruder) intruder.finish(2000);
    if (connection < 0) return connection == -1 ? 0 : 1;
    const int on = 1;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Room for a whole default piece in the kernel, so that one send call
    // usually hands over a complete image reply.
    const int send_buffer = 4 << 20;
    ::setsockopt(connection, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    log(1, "client connected");

    Session session(connection, scenario, &transcript);
    const int status = session.run();
    ::close(connection);
    log(1, "done (exit status %d)", status);
    return status;
}
