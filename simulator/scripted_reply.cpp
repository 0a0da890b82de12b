#include "simulator/session.h"

#include "simulator/log.h"

#include <algorithm>

namespace kelvra_sim {

int Session::answer(const FrameHeader& request, const ScriptedReply* script) {
    if (script == nullptr) return finish(handle(request));

    log(1, "scripted %s for %s request", reply_action_name(script->action), command_name(request.command));
    if (transcript_ != nullptr) transcript_->scripted_reply(request.command, *script);
    if (script->delay_ms > 0 && !pause(script->delay_ms)) {
        log(1, "the client closed the connection during the scripted delay");
        return 0;
    }
    switch (script->action) {
    case ReplyAction::silence:
        silent_ = true;
        log(1, "silent from now on");
        return -1;
    case ReplyAction::close:
        log(1, "closing the connection without a reply");
        return 0;
    case ReplyAction::exit: exit_now("scripted exit");
    default: break;
    }

    // Everything else sends the computed reply, or the script's payload in its
    // place. The request is handled as usual even when its payload is replaced
    // (a replaced start still starts the job), except a read request: a
    // scripted payload carries none of the page, so the page stays where it
    // was and the next read request gets the bytes this one would have had.
    const bool replaced = script->body || script->body_size;
    Reply reply = replaced && request.command == cmd_read_image ? Reply{Outcome::send, request.command, kind_image, {}}
                                                                : handle(request);
    if (script->body) return send_scripted(request, *script, *script->body, kind_xml);
    if (script->body_size) return send_scripted(request, *script, filler(*script->body_size), reply.kind);
    // Nothing scripted to send in place of a refusal or a fault.
    if (reply.outcome != Outcome::send) return finish(reply);
    return send_scripted(request, *script, reply.payload, reply.kind);
}

std::string_view Session::filler(uint64_t size) {
    if (filler_.size() < size) {
        filler_.resize(size_t(size));
        for (size_t i = 0; i < filler_.size(); ++i) filler_[i] = char(uint8_t(i));
    }
    return std::string_view(filler_).substr(0, size_t(size));
}

int Session::send_scripted(const FrameHeader& request, const ScriptedReply& script, std::string_view payload,
                           uint32_t kind) {
    FrameHeader header{script.header_command.value_or(request.command), script.direction.value_or(direction_reply),
                       script.kind.value_or(kind), script.length.value_or(payload.size())};
    log(2, "reply %u, direction %u, kind %u, length %llu, %zu payload bytes (%s)", header.command, header.direction,
        header.kind, static_cast<unsigned long long>(header.length), payload.size(), reply_action_name(script.action));
    if (header.kind == kind_xml) log_text("reply text", payload);

    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    switch (script.action) {
    case ReplyAction::split:
        if (!send_bytes(socket_, bytes, 7) || !pause(50) || !send_bytes(socket_, bytes + 7, sizeof header - 7) ||
            !send_bytes(socket_, payload.data(), payload.size())) {
            log(1, "the client went away during a split reply");
            return 0;
        }
        sent(header, payload);
        return -1;
    case ReplyAction::close_mid_header:
        if (send_bytes(socket_, bytes, std::min<size_t>(script.bytes, sizeof header)))
            sent(header, {}, std::min<size_t>(script.bytes, sizeof header));
        log(1, "closing the connection after %u header bytes", std::min<uint32_t>(script.bytes, sizeof header));
        return 0;
    case ReplyAction::close_mid_payload:
        if (send_frame(socket_, header, payload.data(), payload.size() / 2)) sent(header, payload.substr(0, payload.size() / 2));
        log(1, "closing the connection after %zu of %zu payload bytes", payload.size() / 2, payload.size());
        return 0;
    default:
        if (!send(header, payload)) return 0;
        return -1;
    }
}

}  // namespace kelvra_sim
