#include "simulator/session.h"

#include "simulator/log.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kelvra_sim {
namespace {

const char* kind_name(uint32_t kind) {
    switch (kind) {
    case kind_none: return "none";
    case kind_xml: return "xml";
    case kind_image: return "image";
    default: return "unknown-kind";
    }
}

}  // namespace

void Session::exit_now(const char* why) {
    log(1, "exiting at once: %s", why);
    _exit(0);
}

Session::Session(int socket, const Scenario& scenario, Transcript* transcript)
    : socket_(socket),
      transcript_(transcript),
      piece_size_(scenario.piece_size),
      piece_delay_ms_(scenario.piece_delay_ms),
      catalogue_(scenario.devices.empty() ? builtin_catalogue() : scenario.devices),
      script_(scenario.replies),
      faults_(scenario.pages),
      strict_(scenario.strict),
      sources_(scenario.sources) {}

int Session::run() {
    for (;;) {
        FrameHeader request;
        switch (read_exact(socket_, &request, sizeof request)) {
        case ReadResult::complete: break;
        case ReadResult::end: log(1, "the client closed the connection"); return 0;
        case ReadResult::truncated: log(1, "the client closed the connection inside a header"); return 0;
        case ReadResult::failed: log(1, "receiving failed: %s", std::strerror(errno)); return 1;
        }
        if (request.direction != direction_request) {
            error("refusing a frame with direction %u (command %u): closing the connection", request.direction,
                  request.command);
            if (transcript_ != nullptr) transcript_->protocol_error(request, "a frame that is not a request");
            return 1;
        }
        if (request.length > max_request_length) {
            error("refusing a request of %llu bytes (command %u), more than the %llu a request may have: "
                  "closing the connection",
                  static_cast<unsigned long long>(request.length), request.command,
                  static_cast<unsigned long long>(max_request_length));
            if (transcript_ != nullptr) transcript_->protocol_error(request, "a request larger than 1 MiB");
            return 1;
        }
        request_.resize(size_t(request.length));
        if (request.length > 0) {
            ReadResult r = read_exact(socket_, request_.data(), request_.size());
            if (r != ReadResult::complete) {
                log(1, "the connection ended inside the payload of a %s request", command_name(request.command));
                return r == ReadResult::failed ? 1 : 0;
            }
        }
        if (transcript_ != nullptr) transcript_->frame(Transcript::Way::received, request, request_);
        log(2, "request %u %s, kind %s, %llu bytes", request.command, command_name(request.command),
            kind_name(request.kind), static_cast<unsigned long long>(request.length));
        if (request.kind == kind_xml) log_text("request text", request_);

        if (silent_) {
            log(2, "silent: no reply");
            continue;
        }
        const int status = answer(request, script_.next(request.command));
        if (status >= 0) return status;
    }
}

int Session::finish(const Reply& reply) {
    switch (reply.outcome) {
    case Outcome::send: {
        FrameHeader header{reply.command, direction_reply, reply.kind, reply.payload.size()};
        log(2, "reply %u %s, kind %s, %zu bytes", reply.command, command_name(reply.command), kind_name(reply.kind),
            reply.payload.size());
        if (reply.kind == kind_xml) log_text("reply text", reply.payload);
        return send(header, reply.payload) ? -1 : 0;
    }
    case Outcome::close: log(1, "closing the connection without a reply"); return 0;
    case Outcome::silence: silent_ = true; log(1, "silent from now on"); return -1;
    case Outcome::exit: exit_now("page fault");
    }
    return 1;
}

bool Session::send(const FrameHeader& header, std::string_view payload) {
    if (send_frame(socket_, header, payload.data(), payload.size())) {
        sent(header, payload);
        return true;
    }
    log(1, "sending the reply failed: %s", std::strerror(errno));
    return false;
}

void Session::sent(const FrameHeader& header, std::string_view payload, size_t header_bytes) {
    if (transcript_ != nullptr) transcript_->frame(Transcript::Way::sent, header, payload, header_bytes);
}

bool Session::pause(uint32_t milliseconds) const {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) return true;
        pollfd watch{socket_, POLLRDHUP, 0};
        int n = ::poll(&watch, 1, int(std::min<long long>(left, 1000000)));
        if (n > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
        if (n < 0 && errno != EINTR) return true;
    }
}

}  // namespace kelvra_sim
