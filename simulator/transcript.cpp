#include "simulator/transcript.h"

#include "simulator/log.h"
#include "simulator/private_file.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kelvra_sim {
namespace {

using Json = nlohmann::ordered_json;

Json record(const char* event) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    Json r;
    r["time_us"] = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    r["pid"] = int(::getpid());
    r["event"] = event;
    return r;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const uint8_t c = *p;
        size_t extra = 0;
        uint32_t low = 0, code = 0;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, low = 0x80, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, low = 0x800, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, low = 0x10000, code = c & 0x07;
        } else {
            return false;
        }
        if (size_t(end - p) <= extra) return false;
        for (size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        p += extra + 1;
    }
    return true;
}

std::string base64(std::string_view bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? uint8_t(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// Free texts (a device name from a request, a path) may hold bytes that are
// not UTF-8: they become U+FFFD rather than a record that cannot be written.
std::string line_of(const Json& r) { return r.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n'; }

std::string hex64(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

void add_header(Json& r, const FrameHeader& header) {
    r["command"] = header.command;
    r["direction"] = header.direction;
    r["kind"] = header.kind;
    r["length"] = header.length;
}

}  // namespace

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) hash = (hash ^ uint8_t(c)) * 0x100000001b3ull;
    return hash;
}

Transcript::~Transcript() {
    if (fd_ >= 0) ::close(fd_);
}

bool Transcript::open(const std::string& path, std::string& error) {
    fd_ = open_private_append(path, error);
    return fd_ >= 0;
}

void Transcript::write(const std::string& line) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written != ssize_t(line.size()))
        log(1, "transcript: write failed: %s", written < 0 ? std::strerror(errno) : "short write");
}

void Transcript::start(const std::string& scenario_path, bool strict) {
    if (fd_ < 0) return;
    Json r = record("start");
    r["scenario"] = scenario_path;
    r["strict"] = strict;
    write(line_of(r));
}

void Transcript::descriptors(const std::vector<int>& fds) {
    if (fd_ < 0) return;
    Json r = record("descriptors");
    r["fds"] = fds;
    write(line_of(r));
}

void Transcript::signals(const SignalState& state) {
    if (fd_ < 0) return;
    Json r = record("signals");
    r["blocked"] = state.blocked;
    r["ignored"] = state.ignored;
    write(line_of(r));
}

void Transcript::listening(int32_t port, int32_t reported) {
    if (fd_ < 0) return;
    Json r = record("listening");
    r["port"] = port;
    r["reported"] = reported;
    write(line_of(r));
}

void Transcript::connection(bool served, std::optional<uid_t> owner, const std::string& reason) {
    if (fd_ < 0) return;
    Json r = record("connection");
    r["served"] = served;
    r["uid"] = owner ? Json(*owner) : Json(nullptr);
    if (!served) r["reason"] = reason;
    write(line_of(r));
}

void Transcript::frame(Way way, const FrameHeader& header, std::string_view payload, size_t header_bytes) {
    if (fd_ < 0) return;
    Json r = record("frame");
    r["way"] = way == Way::received ? "received" : "sent";
    add_header(r, header);
    if (header_bytes < sizeof header) r["header_bytes"] = header_bytes;
    r["bytes"] = payload.size();
    if (header.kind == kind_image)
        r["fnv1a64"] = hex64(fnv1a64(payload));
    else if (!payload.empty() && is_utf8(payload))
        r["text"] = payload;
    else if (!payload.empty())
        r["base64"] = base64(payload);
    write(line_of(r));
}

void Transcript::page(uint32_t number, const PageGeometry& g, const std::string& source) {
    if (fd_ < 0) return;
    Json r = record("page");
    r["page"] = number;
    r["width"] = g.width;
    r["height"] = g.height;
    r["bytes_per_row"] = g.bytes_per_row;
    r["channels"] = g.channels;
    r["document_width"] = g.document_width > 0 ? g.document_width : g.width;
    r["document_height"] = g.document_width > 0 ? g.document_height : g.height;
    r["left"] = g.left;
    r["top"] = g.top;
    r["side"] = g.side == Side::front ? "front" : g.side == Side::back ? "back" : "single";
    r["resolution"] = g.resolution;
    r["source"] = source;
    write(line_of(r));
}

void Transcript::scripted_reply(uint32_t command, const ScriptedReply& script) {
    if (fd_ < 0) return;
    Json r = record("fault");
    r["fault"] = "reply";
    r["line"] = script.line;
    r["command"] = command;
    r["nth"] = script.nth;
    r["action"] = reply_action_name(script.action);
    write(line_of(r));
}

void Transcript::page_fault(const PageFault& fault, uint64_t offset) {
    if (fd_ < 0) return;
    Json r = record("fault");
    r["fault"] = "page";
    r["line"] = fault.line;
    r["page"] = fault.number;
    r["at_byte"] = offset;
    if (fault.read_status) r["read_status"] = *fault.read_status;
    if (fault.action != PageAction::none) r["action"] = page_action_name(fault.action);
    if (!fault.read_status && fault.action == PageAction::none && fault.extra) r["extra"] = *fault.extra;
    write(line_of(r));
}

void Transcript::startup_fault(const StartupFault& fault, StartupAction action) {
    if (fd_ < 0) return;
    Json r = record("fault");
    r["fault"] = "startup";
    r["line"] = fault.line;
    switch (action) {
    case StartupAction::exit: r["action"] = "exit"; break;
    case StartupAction::hang: r["action"] = "hang"; break;
    case StartupAction::unbound: r["action"] = "unbound"; break;
    case StartupAction::none: break;
    }
    if (fault.port) r["port"] = *fault.port;
    if (fault.port_add) r["port_add"] = *fault.port_add;
    if (fault.intruder) r["intruder"] = *fault.intruder;
    write(line_of(r));
}

void Transcript::warning(uint32_t command, const std::string& text, bool refused) {
    if (fd_ < 0) return;
    Json r = record("warning");
    r["command"] = command;
    r["text"] = text;
    r["refused"] = refused;
    write(line_of(r));
}

void Transcript::protocol_error(const FrameHeader& header, const std::string& text) {
    if (fd_ < 0) return;
    Json r = record("error");
    add_header(r, header);
    r["text"] = text;
    write(line_of(r));
}

void Transcript::end(int status) {
    if (fd_ < 0) return;
    Json r = record("end");
    r["status"] = status;
    write(line_of(r));
}

}  // namespace kelvra_sim
