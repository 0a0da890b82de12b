#include "simulator/transcript.h"

#include "simulator/log.h"
#include "simulator/private_file.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <concepts>
#include <cstdio>
#include <cstring>

namespace kelvra_sim {
namespace {

// The length of the valid UTF-8 sequence at `p` (strict: no overlong forms,
// no surrogates, nothing above U+10FFFF); 0 when there is none.
size_t utf8_length(const uint8_t* p, const uint8_t* end) {
    const uint8_t c = *p;
    size_t extra = 0;
    uint32_t low = 0, code = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) {
        extra = 1, low = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, low = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, low = 0x10000, code = c & 0x07;
    } else {
        return 0;
    }
    if (size_t(end - p) <= extra) return 0;
    for (size_t i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return extra + 1;
}

bool is_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* end = p + text.size();
    for (size_t n; p < end; p += n)
        if ((n = utf8_length(p, end)) == 0) return false;
    return true;
}

// One record, built field by field: written by hand rather than through a
// JSON library, since a frame record is written for every frame and must cost
// next to nothing beside the frame itself.
class Record {
public:
    explicit Record(const char* event) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        line_ = "{\"time_us\":" + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) +
                ",\"pid\":" + std::to_string(::getpid());
        add("event", std::string_view(event));
    }
    template <std::integral T>
    Record& add(const char* name, T value) {
        if constexpr (std::same_as<T, bool>) return raw(name, value ? "true" : "false");
        else return raw(name, std::to_string(value));
    }
    Record& add(const char* name, std::string_view text) {
        key(name);
        quoted(text);
        return *this;
    }
    Record& add(const char* name, const char* text) { return add(name, std::string_view(text)); }
    Record& add(const char* name, const std::string& text) { return add(name, std::string_view(text)); }
    Record& add(const char* name, const std::vector<int>& numbers) {
        // Appended piece by piece: gcc 12 at -O3 takes `"," + std::to_string(n)`
        // for an overlapping copy (-Wrestrict) and stops a Release build.
        std::string list = "[";
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (i > 0) list += ',';
            list += std::to_string(numbers[i]);
        }
        list += ']';
        return raw(name, list);
    }
    Record& null(const char* name) { return raw(name, "null"); }
    const std::string& line() {
        line_ += "}\n";
        return line_;
    }

private:
    void key(const char* name) {
        line_ += ",\"";
        line_ += name;
        line_ += "\":";
    }
    Record& raw(const char* name, std::string_view value) {
        key(name);
        line_ += value;
        return *this;
    }
    // A JSON string: quotes, backslashes and control characters escaped; bytes
    // that are not UTF-8 become U+FFFD (a frame payload that is not UTF-8 is
    // never written this way, but as base64).
    void quoted(std::string_view text) {
        line_ += '"';
        const auto* p = reinterpret_cast<const uint8_t*>(text.data());
        const auto* end = p + text.size();
        while (p < end) {
            const size_t n = utf8_length(p, end);
            if (n == 0) {
                line_ += "\xEF\xBF\xBD";
                ++p;
            } else if (*p == '"' || *p == '\\') {
                line_ += '\\';
                line_ += char(*p++);
            } else if (*p < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", *p++);
                line_ += escape;
            } else {
                line_.append(reinterpret_cast<const char*>(p), n);
                p += n;
            }
        }
        line_ += '"';
    }

    std::string line_;
};

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

std::string hex64(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// By value: the packed header's 64-bit length is not aligned for a reference.
void add_header(Record& r, const FrameHeader& header) {
    r.add("command", uint32_t{header.command})
        .add("direction", uint32_t{header.direction})
        .add("kind", uint32_t{header.kind})
        .add("length", uint64_t{header.length});
}

}  // namespace

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
    write(Record("start").add("scenario", scenario_path).add("strict", strict).line());
}

void Transcript::descriptors(const std::vector<int>& fds) {
    if (fd_ < 0) return;
    write(Record("descriptors").add("fds", fds).line());
}

void Transcript::signals(const SignalState& state) {
    if (fd_ < 0) return;
    write(Record("signals").add("blocked", state.blocked).add("ignored", state.ignored).line());
}

void Transcript::listening(int32_t port, int32_t reported) {
    if (fd_ < 0) return;
    write(Record("listening").add("port", port).add("reported", reported).line());
}

void Transcript::connection(bool served, std::optional<uid_t> owner, const std::string& reason) {
    if (fd_ < 0) return;
    Record r("connection");
    r.add("served", served);
    if (owner) r.add("uid", *owner);
    else r.null("uid");
    if (!served) r.add("reason", reason);
    write(r.line());
}

void Transcript::frame(Way way, const FrameHeader& header, std::string_view payload, size_t header_bytes) {
    if (fd_ < 0) return;
    Record r("frame");
    r.add("way", way == Way::received ? "received" : "sent");
    add_header(r, header);
    if (header_bytes < sizeof header) r.add("header_bytes", header_bytes);
    r.add("bytes", payload.size());
    if (header.kind == kind_image)
        r.add("fnv1a64", hex64(fnv1a64(payload)));
    else if (!payload.empty() && is_utf8(payload))
        r.add("text", payload);
    else if (!payload.empty())
        r.add("base64", base64(payload));
    write(r.line());
}

void Transcript::page(uint32_t number, const PageGeometry& g, const std::string& source) {
    if (fd_ < 0) return;
    const bool cut = g.document_width > 0;
    write(Record("page")
              .add("page", number)
              .add("width", g.width)
              .add("height", g.height)
              .add("bytes_per_row", g.bytes_per_row)
              .add("channels", g.channels)
              .add("document_width", cut ? g.document_width : g.width)
              .add("document_height", cut ? g.document_height : g.height)
              .add("left", g.left)
              .add("top", g.top)
              .add("side", g.side == Side::front ? "front" : g.side == Side::back ? "back" : "single")
              .add("resolution", g.resolution)
              .add("source", source)
              .line());
}

void Transcript::scripted_reply(uint32_t command, const ScriptedReply& script) {
    if (fd_ < 0) return;
    write(Record("fault")
              .add("fault", "reply")
              .add("line", script.line)
              .add("command", command)
              .add("nth", script.nth)
              .add("action", reply_action_name(script.action))
              .line());
}

void Transcript::page_fault(const PageFault& fault, uint64_t offset) {
    if (fd_ < 0) return;
    Record r("fault");
    r.add("fault", "page").add("line", fault.line).add("page", fault.number).add("at_byte", offset);
    if (fault.read_status) r.add("read_status", *fault.read_status);
    else if (fault.action != PageAction::none) r.add("action", page_action_name(fault.action));
    else if (fault.extra) r.add("extra", *fault.extra);
    write(r.line());
}

void Transcript::startup_fault(const StartupFault& fault, StartupAction action) {
    if (fd_ < 0) return;
    Record r("fault");
    r.add("fault", "startup").add("line", fault.line);
    switch (action) {
    case StartupAction::exit: r.add("action", "exit"); break;
    case StartupAction::hang: r.add("action", "hang"); break;
    case StartupAction::unbound: r.add("action", "unbound"); break;
    case StartupAction::none: break;
    }
    if (fault.port) r.add("port", *fault.port);
    if (fault.port_add) r.add("port_add", *fault.port_add);
    if (fault.intruder) r.add("intruder", *fault.intruder);
    write(r.line());
}

void Transcript::warning(uint32_t command, const std::string& text, bool refused) {
    if (fd_ < 0) return;
    write(Record("warning").add("command", command).add("text", text).add("refused", refused).line());
}

void Transcript::protocol_error(const FrameHeader& header, const std::string& text) {
    if (fd_ < 0) return;
    Record r("error");
    add_header(r, header);
    write(r.add("text", text).line());
}

void Transcript::replay(const std::string& trace, size_t session, size_t connection) {
    if (fd_ < 0) return;
    write(Record("replay").add("trace", trace).add("session", session).add("connection", connection).line());
}

void Transcript::divergence(const std::string& text, long line, const std::string& recorded,
                            const std::string& received) {
    if (fd_ < 0) return;
    write(Record("divergence")
              .add("text", text)
              .add("trace_line", line)
              .add("recorded", recorded)
              .add("received", received)
              .line());
}

void Transcript::end(int status) {
    if (fd_ < 0) return;
    write(Record("end").add("status", status).line());
}

}  // namespace kelvra_sim
