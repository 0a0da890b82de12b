// A client of the simulator independent of the backend: it starts kelvra-sim
// as the backend starts a scan-manager (fork, exec with the port pipe's number
// as the only argument, 4 bytes of port, a connection to 127.0.0.1) and speaks
// the frame protocol with the simulator's own wire code.
#pragma once

#include "simulator/wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kelvra_test {

inline std::string sim_temp_path(const std::string& stem) {  // fresh, not yet created
    static unsigned counter = 0;
    return "/tmp/kelvra-sim-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + stem;
}

inline std::string sim_read_file(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// A scan of width x height pixels, flatbed (placement 0: a page) or feeder (1: three pages).
inline std::string sim_scan_parameter(uint32_t placement, uint32_t color_mode, uint32_t width, uint32_t height) {
    return "<scan_parameter original_placement=\"" + std::to_string(placement) + "\" color_mode=\"" +
           std::to_string(color_mode) + "\" output_width=\"" + std::to_string(width) + "\" output_height=\"" +
           std::to_string(height) + "\"/>";
}

struct SimStartOptions {
    std::string scenario;          // scenario text, written to a temporary file; empty: none
    std::vector<std::string> env;  // extra NAME=VALUE entries
    std::string stderr_path;       // where the simulator's standard error goes; empty: inherited
    std::string argument{};        // the argument instead of the port pipe's number
};

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    ~SimProcess() {  // kills a simulator still running and reaps it
        if (pid_ > 0 && exit_status_ < 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
        for (int fd : {socket_, pipe_}) ::close(fd);
        ::unlink(scenario_path_.c_str());
    }
    bool start(const SimStartOptions& options) {
        std::vector<std::string> env = options.env;  // first: these win
        if (!options.scenario.empty()) {
            std::ofstream(scenario_path_, std::ios::binary) << options.scenario;
            env.push_back("KELVRA_SIM_SCENARIO=" + scenario_path_);
        }
        for (char** e = environ; *e != nullptr; ++e)  // the caller's own scenario and log stay out
            if (!std::string_view(*e).starts_with("KELVRA_SIM_")) env.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        ::fcntl(fds[1], F_SETFD, 0);  // only the write end reaches the simulator
        std::string number = options.argument.empty() ? std::to_string(fds[1]) : options.argument;
        char* argv[] = {const_cast<char*>(KELVRA_TEST_SIM), number.data(), nullptr};
        const int err = options.stderr_path.empty()
                            ? ::fcntl(2, F_DUPFD_CLOEXEC, 3)
                            : ::open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // its standard input
        if ((pid_ = ::fork()) == 0) {
            ::dup2(nothing, 0);
            ::dup2(err, 2);
            ::execve(argv[0], argv, envp.data());
            _exit(127);
        }
        ::close(err);
        ::close(nothing);
        ::close(fds[1]);
        pipe_ = fds[0];
        return pid_ > 0;
    }
    bool read_port(int32_t& port, int timeout_ms = 5000) {  // false when the pipe ends or stays silent
        pollfd p{pipe_, POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) == 1 && ::read(pipe_, &port, 4) == 4;
    }
    bool connect_to(int32_t port) {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval limit{5, 0};  // a reply that does not come fails the read
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        return ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    bool start_and_connect(const SimStartOptions& options) {
        int32_t port = -1;
        return start(options) && read_port(port) && port > 0 && connect_to(port);
    }
    bool send_raw(const std::string& bytes) { return kelvra_sim::send_bytes(socket_, bytes.data(), bytes.size()); }
    // Sends a request (of XML kind when there is text) and reads the reply's
    // payload and kind; false when no whole frame arrives within 5 s.
    bool exchange(uint32_t command, const std::string& xml, std::string& payload, uint32_t* kind = nullptr) {
        const kelvra_sim::FrameHeader request{command, 0, xml.empty() ? 0u : 1u, xml.size()};
        return kelvra_sim::send_frame(socket_, request, xml.data(), xml.size()) && read_reply(payload, kind);
    }
    bool read_reply(std::string& payload, uint32_t* kind = nullptr) {
        kelvra_sim::FrameHeader h{};
        using kelvra_sim::read_exact, kelvra_sim::ReadResult;
        if (read_exact(socket_, &h, sizeof h) != ReadResult::complete || h.length > (1u << 30)) return false;
        payload.assign(h.length, '\0');
        if (kind != nullptr) *kind = h.kind;
        return read_exact(socket_, payload.data(), payload.size()) == ReadResult::complete;
    }
    // What arrives until the simulator ends the connection or `timeout_ms` pass; *ended tells which.
    std::string receive_until_end(int timeout_ms, bool* ended) {
        std::string bytes;
        char buffer[4096];
        *ended = false;
        for (pollfd p{socket_, POLLIN, 0}; ::poll(&p, 1, timeout_ms) == 1;) {
            const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                *ended = true;
                break;
            }
            bytes.append(buffer, size_t(n));
        }
        return bytes;
    }
    void close_connection() {
        ::close(socket_);
        socket_ = -1;
    }
    // The exit status (128 + signal for a signal) when the process ends within `timeout_ms`; -1 while it runs.
    int wait_exit(int timeout_ms = 5000) {
        for (int waited = 0, status = 0; exit_status_ < 0 && pid_ > 0 && waited <= timeout_ms; waited += 5) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
                exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                ::usleep(5000);
        }
        return exit_status_;
    }

private:
    pid_t pid_ = -1;
    int pipe_ = -1, socket_ = -1, exit_status_ = -1;
    std::string scenario_path_ = sim_temp_path("scenario.xml");
};

}  // namespace kelvra_test
