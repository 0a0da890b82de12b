#include "simulator/replay.h"

#include "simulator/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

namespace kelvra_sim {
namespace {

// The frontend process that started this simulator: its pid and its start
// time (in clock ticks since boot), which a reused pid does not share.
std::string frontend_process() {
    const pid_t parent = ::getppid();
    std::ifstream stat("/proc/" + std::to_string(parent) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    unsigned long long started = 0;
    const size_t name_end = text.rfind(')');
    // The start time is the 22nd field; the name (2nd) may hold blanks.
    if (name_end != std::string::npos &&
        std::sscanf(text.c_str() + name_end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d "
                                                  "%*d %*d %llu",
                    &started) != 1)
        started = 0;
    return std::to_string(parent) + " " + std::to_string(started);
}

// A frame as a message shows it: its header, and its payload as text with
// other bytes escaped, cut to a window around `at` when it is long.
std::string describe(const FrameHeader& h, const std::string* payload, uint64_t bytes, size_t at = 0) {
    std::string text = "command " + std::to_string(h.command) + " (" + command_name(h.command) + "), direction " +
                       std::to_string(h.direction) + ", kind " + std::to_string(h.kind) + ", length " +
                       std::to_string(h.length);
    if (payload == nullptr) return bytes > 0 ? text + ", its payload not in the trace" : text;
    if (payload->empty()) return text;
    constexpr size_t window = 240;
    const size_t from = at > window ? at - window : 0;
    const size_t to = std::min(payload->size(), at + window);
    text += ": ";
    if (from > 0) text += "...";
    for (size_t i = from; i < to; ++i) {
        const auto c = uint8_t((*payload)[i]);
        if (c == '\n') text += "\\n";
        else if (c == '\\') text += "\\\\";
        else if (c >= 0x20 && c < 0x7f) text += char(c);
        else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    if (to < payload->size()) text += "...";
    return text;
}

// What makes a received request differ from the recorded one: the header
// fields and the first payload byte that differ; empty when nothing does.
// `at` is that byte, or 0.
std::string difference(const TracedFrame& want, const FrameHeader& got, const std::string& payload, size_t& at) {
    std::string text;
    const auto field = [&](const char* name, uint64_t recorded, uint64_t received) {
        if (recorded == received) return;
        text += std::string(text.empty() ? "" : ", ") + "another " + name + " (" + std::to_string(received) +
                ", recorded " + std::to_string(recorded) + ")";
    };
    field("command", want.header.command, got.command);
    field("direction", want.header.direction, got.direction);
    field("payload kind", want.header.kind, got.kind);
    field("length", want.header.length, got.length);
    at = 0;
    if (!want.payload) return text;
    const auto mismatch = std::mismatch(want.payload->begin(), want.payload->end(), payload.begin(), payload.end());
    if (mismatch.first == want.payload->end() && mismatch.second == payload.end()) return text;
    at = size_t(mismatch.first - want.payload->begin());
    return text + (text.empty() ? "" : ", ") + "the payloads differ from byte " + std::to_string(at);
}

// The step of the recorded end-scan request that follows the read exchanges
// from `from` on; 0 when another request comes first.
size_t later_end_scan(const std::vector<TracedStep>& steps, size_t from) {
    for (size_t i = from; i < steps.size(); ++i) {
        if (steps[i].kind != TracedStep::Kind::request) continue;
        if (steps[i].frame.header.command == cmd_end_scan) return i;
        if (steps[i].frame.header.command != cmd_read_image) return 0;
    }
    return 0;
}

size_t count_reads(const std::vector<TracedStep>& steps, size_t from, size_t to) {
    return size_t(std::count_if(steps.begin() + long(from), steps.begin() + long(to),
                                [](const TracedStep& s) { return s.kind == TracedStep::Kind::request; }));
}

}  // namespace

bool claim_connection(const std::string& trace_path, size_t& connection, std::string& error) {
    const std::string path = trace_path + ".replay";
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat about {};
    if (fd < 0 || ::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode) || about.st_uid != ::geteuid()) {
        error = "cannot use " + path + " to count the replaying simulators: " +
                (fd < 0 ? std::strerror(errno) : "not a regular file of this user");
        if (fd >= 0) ::close(fd);
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string claims;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        claims.append(buffer, size_t(n));
        at += n;
    }
    const std::string me = frontend_process() + "\n";
    size_t earlier = 0;
    for (size_t at = 0; at < claims.size();) {
        const size_t end = claims.find('\n', at);
        if (end == std::string::npos) break;
        if (claims.compare(at, end + 1 - at, me) == 0) ++earlier;
        at = end + 1;
    }
    const bool written = ::write(fd, me.data(), me.size()) == ssize_t(me.size());
    ::close(fd);  // and the lock with it
    if (!written) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    connection = earlier + 1;
    return true;
}

int describe_trace(const std::string& path) {
    Trace trace;
    std::string problem;
    if (!load_trace(path, trace, problem)) {
        error("bad trace: %s", problem.c_str());
        return 2;
    }
    std::printf("%s: %zu session(s)\n", path.c_str(), trace.sessions.size());
    for (size_t s = 0; s < trace.sessions.size(); ++s) {
        const TracedSession& session = trace.sessions[s];
        std::printf("session %zu (line %ld): %s, pid %lld, image bytes %s, %zu connection(s)\n", s + 1, session.line,
                    session.program.empty() ? "?" : session.program.c_str(), static_cast<long long>(session.pid),
                    session.images ? "included" : "left out", session.connections.size());
        for (size_t c = 0; c < session.connections.size(); ++c) {
            const TracedConnection& connection = session.connections[c];
            std::map<uint32_t, size_t> requests;
            size_t replies = 0;
            std::string ending = connection.started ? "" : ", its start failed";
            for (const TracedStep& step : connection.steps) {
                if (step.kind == TracedStep::Kind::request) ++requests[step.frame.header.command];
                else if (step.kind == TracedStep::Kind::reply) ++replies;
                else ending = step.broken.backend_ended ? ", the backend gave up waiting" : ", the connection broke off";
            }
            std::string list;
            for (const auto& [command, count] : requests)
                list += (list.empty() ? "" : ", ") + std::to_string(count) + " " + command_name(command);
            std::printf("  connection %zu (line %ld): requests: %s; %zu replies%s\n", c + 1, connection.line,
                        list.empty() ? "none" : list.c_str(), replies, ending.c_str());
        }
    }
    return 0;
}

ReplaySession::ReplaySession(int socket, const TracedConnection& connection, std::string where,
                             Transcript* transcript)
    : socket_(socket), connection_(connection), where_(std::move(where)), transcript_(transcript) {}

int ReplaySession::run() {
    const std::vector<TracedStep>& steps = connection_.steps;
    size_t next = 0;
    for (;;) {
        // What the backend received before it sent again (the first step may be one).
        while (next < steps.size() && steps[next].kind != TracedStep::Kind::request) {
            if (steps[next].kind == TracedStep::Kind::broken) return play_break(steps[next].broken);
            if (!send_reply(steps[next++].frame)) return 1;
        }
        const TracedFrame* want = next < steps.size() ? &steps[next].frame : nullptr;

        FrameHeader header{};
        ReadResult r = read_exact(socket_, &header, sizeof header);
        std::string payload;
        if (r == ReadResult::complete && header.length <= max_request_length) {
            payload.resize(size_t(header.length));
            r = read_exact(socket_, payload.data(), payload.size());
        }
        if (r == ReadResult::failed) {
            log(1, "receiving failed: %s", std::strerror(errno));
            return 1;
        }
        if (r != ReadResult::complete) {
            // The end of the connection where the recording has it, or where
            // the recorded request itself did not go out whole.
            if (want == nullptr || !want->whole()) return 0;
            return diverged("the backend closed the connection where the recording has request " +
                                std::to_string(requests_ + 1),
                            want, nullptr, {});
        }
        ++requests_;
        if (transcript_ != nullptr) transcript_->frame(Transcript::Way::received, header, payload);
        log(2, "request %zu: %u %s, %llu bytes", requests_, header.command, command_name(header.command),
            static_cast<unsigned long long>(header.length));
        if (want == nullptr)
            return diverged("request " + std::to_string(requests_) + " comes after the last frame the recording has",
                            nullptr, &header, payload);
        // The cancel race: the page's reader thread notices a cancel between
        // two of its read requests, sooner or later than it did when the
        // trace was recorded. An end-scan request where the recording has
        // more read requests before its end-scan skips those exchanges; a
        // read request where the recording has the end-scan gets "the job is
        // over", after which the reader sends its end-scan.
        if (header.command == cmd_end_scan && want->header.command == cmd_read_image)
            if (const size_t end = later_end_scan(steps, next); end != 0) {
                log(1, "request %zu: the end-scan came before %s read request(s) of the recording: skipped",
                    requests_, std::to_string(count_reads(steps, next, end)).c_str());
                next = end;
                want = &steps[next].frame;
            }
        if (header.command == cmd_read_image && header.length == 0 && want->header.command == cmd_end_scan &&
            want->whole()) {
            log(1, "request %zu: a read request more than the recording has before its end-scan: the job is over",
                requests_);
            if (!send_job_over()) return 1;
            continue;
        }
        // The recorded send broke off: the recording of this connection ends there.
        if (!want->whole()) return wait_for_close();
        size_t at = 0;
        const std::string why = difference(*want, header, payload, at);
        if (!why.empty())
            return diverged("request " + std::to_string(requests_) + " (trace line " + std::to_string(want->line) +
                                ") differs from the recording: " + why,
                            want, &header, payload);
        ++next;
    }
}

bool ReplaySession::send_job_over() {
    static const std::string job_over = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<status read_status=\"2\"/>\n";
    const FrameHeader header{cmd_read_image, direction_reply, kind_xml, job_over.size()};
    if (!send_frame(socket_, header, job_over.data(), job_over.size())) return false;
    if (transcript_ != nullptr) transcript_->frame(Transcript::Way::sent, header, job_over);
    return true;
}

bool ReplaySession::send_reply(const TracedFrame& frame) {
    // Image bytes the trace left out: a counting pattern of their length.
    std::string filler;
    if (!frame.payload) {
        filler.resize(size_t(frame.bytes));
        for (size_t i = 0; i < filler.size(); ++i) filler[i] = char(i & 0xFF);
    }
    const std::string& payload = frame.payload ? *frame.payload : filler;
    if (!send_frame(socket_, frame.header, payload.data(), payload.size())) {
        log(1, "sending the reply failed: %s", std::strerror(errno));
        return false;
    }
    if (transcript_ != nullptr) transcript_->frame(Transcript::Way::sent, frame.header, payload);
    log(2, "reply of trace line %ld: %u %s, %zu bytes", frame.line, frame.header.command,
        command_name(frame.header.command), payload.size());
    return true;
}

int ReplaySession::play_break(const TracedBreak& broken) {
    // The part of the frame that reached the backend before the recording broke off.
    std::string part(size_t(broken.got), '\0');
    for (size_t i = 0; i < part.size(); ++i) part[i] = char(i & 0xFF);
    if (broken.header) {
        send_frame(socket_, *broken.header, part.data(), part.size());
        if (transcript_ != nullptr) transcript_->frame(Transcript::Way::sent, *broken.header, part);
    } else {
        std::fill(part.begin(), part.end(), '\0');
        send_bytes(socket_, part.data(), part.size());
    }
    if (broken.backend_ended) {
        log(1, "trace line %ld: the backend stopped waiting here: silent from now on", broken.line);
        return wait_for_close();
    }
    log(1, "trace line %ld: the connection broke off here: closing it", broken.line);
    return 0;
}

int ReplaySession::wait_for_close() {
    char ignored[4096];
    for (;;) {
        const ssize_t n = ::recv(socket_, ignored, sizeof ignored, 0);
        if (n == 0 || (n < 0 && errno != EINTR)) return 0;
    }
}

int ReplaySession::diverged(const std::string& what, const TracedFrame* recorded, const FrameHeader* header,
                            const std::string& payload) {
    size_t at = 0;
    if (recorded != nullptr && header != nullptr) difference(*recorded, *header, payload, at);
    const std::string want =
        recorded != nullptr ? describe(recorded->header, recorded->payload ? &*recorded->payload : nullptr,
                                       recorded->bytes, at)
                            : "nothing more";
    const std::string got = header != nullptr ? describe(*header, &payload, payload.size(), at) : "the end of the connection";
    error("replay of %s: %s\n  recorded: %s\n  received: %s", where_.c_str(), what.c_str(), want.c_str(), got.c_str());
    if (transcript_ != nullptr) transcript_->divergence(what, recorded != nullptr ? recorded->line : 0, want, got);
    return exit_diverged;
}

}  // namespace kelvra_sim
