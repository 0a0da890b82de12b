#include "simulator/trace_reader.h"

#include "simulator/read_to_end.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace kelvra_sim {
namespace {

using nlohmann::json;

// A mistake in the trace, with the line it is on.
struct TraceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Records are flat, with one list at most: deeper nesting is no trace, and
// is refused before a parser could recurse into it.
bool nested_too_deep(std::string_view line) {
    int depth = 0;
    bool in_string = false, escaped = false;
    for (const char c : line) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > 4) return true;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return false;
}

// A name from the trace as a message shows it: quoted, on one line, short.
std::string shown(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 40; ++i)
        out += uint8_t(text[i]) >= 0x20 && text[i] != 0x7f ? text[i] : '?';
    return out + (text.size() > 40 ? "...\"" : "\"");
}

bool decode_base64(std::string_view code, std::string& bytes) {
    if (code.size() % 4 != 0) return false;
    size_t padding = 0;
    while (padding < 2 && padding < code.size() && code[code.size() - 1 - padding] == '=') ++padding;
    code.remove_suffix(padding);
    bytes.clear();
    bytes.reserve(code.size() / 4 * 3 + 2);
    uint32_t bits = 0;
    int count = 0;
    for (const char c : code) {
        uint32_t value;
        if (c >= 'A' && c <= 'Z') value = uint32_t(c - 'A');
        else if (c >= 'a' && c <= 'z') value = uint32_t(c - 'a' + 26);
        else if (c >= '0' && c <= '9') value = uint32_t(c - '0' + 52);
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else return false;
        bits = bits << 6 | value;
        if ((count += 6) >= 8) bytes += char(bits >> (count -= 8));
    }
    return true;
}

class Reader {
public:
    Reader(Trace& trace, KeepPayloads keep) : trace_(trace), keep_(keep) {}

    void line(long number, std::string_view text) {
        line_ = number;
        if (nested_too_deep(text)) fail("not a trace record (nested too deep)");
        const json r = json::parse(text, nullptr, false);
        if (r.is_discarded() || !r.is_object()) fail("not a JSON object");
        number_field(r, "time_us");
        const int64_t pid = signed_field(r, "pid", INT64_MIN, INT64_MAX);
        const std::string event = string_field(r, "event");
        if (event == "trace") {
            begin_session(r, pid);
            return;
        }
        const auto session = sessions_.find(pid);
        if (session == sessions_.end() && event == "start" && r.contains("scenario"))
            fail("a transcript of kelvra-sim, not a trace: the backend writes a trace when KELVRA_TRACE names a file");
        if (session == sessions_.end())
            fail("a record of process " + std::to_string(pid) +
                 " before its \"trace\" record (a trace comes from the backend, with KELVRA_TRACE set)");
        TracedSession& s = trace_.sessions[session->second];
        if (event == "start") start(r, s, session->second);
        else if (event == "frame") frame(r, s, session->second);
        else if (event == "failure") failure(r, s);
        else if (event == "exit") connection(r, s);
        else if (event == "call" || event == "return") string_field(r, "call");
        // Records of other events carry nothing a replay needs.
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw TraceError("line " + std::to_string(line_) + ": " + what);
    }

private:
    // A field's name in quotes. Built by appending: gcc 12 at -O3 warns
    // wrongly about a literal put before a temporary string.
    static std::string named(const char* name) {
        std::string text(1, '"');
        text += name;
        text += '"';
        return text;
    }
    const json& field(const json& r, const char* name) const {
        const auto found = r.find(name);
        if (found == r.end()) {
            const auto event = r.find("event");
            fail((event != r.end() && event->is_string() ? "a " + shown(event->get<std::string>()) + " record"
                                                        : std::string("a record")) +
                 " without \"" + name + "\"");
        }
        return *found;
    }
    void number_field(const json& r, const char* name) const {
        if (!field(r, name).is_number()) fail(named(name) + " is not a number");
    }
    uint64_t unsigned_field(const json& r, const char* name, uint64_t max = UINT64_MAX) const {
        const json& value = field(r, name);
        if (!value.is_number_unsigned() || value.get<uint64_t>() > max)
            fail(named(name) + " is not a number from 0 to " + std::to_string(max));
        return value.get<uint64_t>();
    }
    int64_t signed_field(const json& r, const char* name, int64_t min, int64_t max) const {
        const json& value = field(r, name);
        if (!value.is_number_integer() || (value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(INT64_MAX)) ||
            value.get<int64_t>() < min || value.get<int64_t>() > max)
            fail(named(name) + " is not a whole number from " + std::to_string(min) + " to " +
                 std::to_string(max));
        return value.get<int64_t>();
    }
    std::string string_field(const json& r, const char* name) const {
        const json& value = field(r, name);
        if (!value.is_string()) fail(named(name) + " is not a string");
        return value.get<std::string>();
    }
    bool bool_field(const json& r, const char* name) const {
        const json& value = field(r, name);
        if (!value.is_boolean()) fail(named(name) + " is not true or false");
        return value.get<bool>();
    }

    void begin_session(const json& r, int64_t pid) {
        const int64_t version = signed_field(r, "version", INT64_MIN, INT64_MAX);
        if (version > trace_format_version)
            fail("format version " + std::to_string(version) + " is newer than this kelvra-sim reads (" +
                 std::to_string(trace_format_version) + "): replay it with the kelvra-sim of the kelvra that wrote it");
        if (version < 1) fail("format version " + std::to_string(version) + " does not exist");
        TracedSession s;
        s.line = line_;
        s.pid = pid;
        if (r.contains("program")) s.program = string_field(r, "program");
        if (r.contains("images")) s.images = bool_field(r, "images");
        sessions_[pid] = trace_.sessions.size();
        trace_.sessions.push_back(std::move(s));
    }

    TracedConnection& connection(const json& r, TracedSession& s) const {
        const uint64_t number = unsigned_field(r, "connection", UINT32_MAX);
        for (TracedConnection& c : s.connections)
            if (c.number == number) return c;
        fail("connection " + std::to_string(number) + " has no \"start\" record before");
    }

    void start(const json& r, TracedSession& s, size_t) {
        const uint64_t number = unsigned_field(r, "connection", UINT32_MAX);
        if (number == 0) fail("connection 0 does not exist: connections count from 1");
        for (const TracedConnection& c : s.connections)
            if (c.number == number) fail("connection " + std::to_string(number) + " starts a second time");
        TracedConnection c;
        c.line = line_;
        c.number = uint32_t(number);
        c.port = int32_t(signed_field(r, "port", INT32_MIN, INT32_MAX));
        c.started = string_field(r, "status") == "SANE_STATUS_GOOD";
        s.connections.push_back(std::move(c));
    }

    FrameHeader header(const json& r) const {
        FrameHeader h{};
        h.command = uint32_t(unsigned_field(r, "command", UINT32_MAX));
        h.direction = uint32_t(unsigned_field(r, "direction", UINT32_MAX));
        h.kind = uint32_t(unsigned_field(r, "kind", UINT32_MAX));
        h.length = unsigned_field(r, "length");
        return h;
    }

    // The payload's bytes, checked against "bytes" and the checksum; empty
    // when the trace holds only the checksum of an image.
    std::optional<std::string> payload(const json& r, const FrameHeader& h, uint64_t bytes) const {
        std::optional<std::string> data;
        if (r.contains("text")) {
            data = string_field(r, "text");
        } else if (r.contains("base64")) {
            data.emplace();
            if (!decode_base64(string_field(r, "base64"), *data)) fail("\"base64\" is not base64");
        }
        if (data && data->size() != bytes)
            fail("the payload holds " + std::to_string(data->size()) + " bytes, \"bytes\" says " +
                 std::to_string(bytes));
        if (h.kind == kind_image && bytes > 0) {
            const std::string hex = string_field(r, "fnv1a64");
            if (hex.size() != 16 || hex.find_first_not_of("0123456789abcdef") != std::string::npos)
                fail("\"fnv1a64\" is not 16 hexadecimal digits");
            if (data && std::stoull(hex, nullptr, 16) != fnv1a64(*data))
                fail("the image bytes do not match their checksum \"fnv1a64\"");
        } else if (!data && bytes > 0) {
            fail("a payload of " + std::to_string(bytes) + " bytes without its \"text\" or \"base64\"");
        }
        return data;
    }

    bool kept(size_t session, const TracedSession& s, const TracedConnection& c) const {
        return keep_.session == session + 1 && keep_.connection == size_t(&c - s.connections.data()) + 1;
    }

    void frame(const json& r, TracedSession& s, size_t session) {
        TracedConnection& c = connection(r, s);
        if (!c.started) fail("a frame on connection " + std::to_string(c.number) + ", whose start failed");
        const std::string way = string_field(r, "way");
        if (way != "sent" && way != "received") fail("\"way\" is neither \"sent\" nor \"received\"");
        TracedStep step{way == "sent" ? TracedStep::Kind::request : TracedStep::Kind::reply, {}, {}};
        TracedFrame& f = step.frame;
        f.line = line_;
        f.header = header(r);
        f.bytes = unsigned_field(r, "bytes");
        if (f.bytes > f.header.length) fail("\"bytes\" is more than \"length\"");
        if (r.contains("header_bytes")) {
            f.header_bytes = unsigned_field(r, "header_bytes", sizeof(FrameHeader));
            if (f.header_bytes < sizeof(FrameHeader) && f.bytes > 0) fail("a payload after a header cut short");
        }
        std::optional<std::string> data = payload(r, f.header, f.bytes);
        if (kept(session, s, c)) f.payload = std::move(data);
        c.steps.push_back(std::move(step));
    }

    void failure(const json& r, TracedSession& s) {
        TracedConnection& c = connection(r, s);
        const std::string way = string_field(r, "way");
        const std::string stage = string_field(r, "stage");
        if (stage != "header" && stage != "payload") fail("\"stage\" is neither \"header\" nor \"payload\"");
        TracedBreak b;
        b.line = line_;
        b.got = unsigned_field(r, "got");
        const std::string cause = string_field(r, "cause");
        b.backend_ended = cause == "time limit" || cause == "cut";
        if (stage == "payload") b.header = header(r);
        if (b.got > (b.header ? b.header->length : sizeof(FrameHeader))) fail("\"got\" is more than there was to get");
        // A send that failed shows in its frame record already.
        if (way == "received") c.steps.push_back({TracedStep::Kind::broken, {}, b});
    }

    Trace& trace_;
    KeepPayloads keep_;
    std::map<int64_t, size_t> sessions_;  // the session each process writes to now
    long line_ = 0;
};

}  // namespace

bool read_trace(std::string_view text, Trace& trace, std::string& error, KeepPayloads keep) {
    Trace read;
    Reader reader(read, keep);
    try {
        long number = 0;
        while (!text.empty()) {
            ++number;
            const size_t end = text.find('\n');
            if (end == std::string_view::npos) {
                // The writer ends every record with its line feed: a last line
                // without one is taken when it is whole, else it was cut short.
                try {
                    reader.line(number, text);
                } catch (const TraceError&) {
                    reader.fail("cut short: the file ends inside this record (was its program stopped?)");
                }
                break;
            }
            const std::string_view line = text.substr(0, end);
            text.remove_prefix(end + 1);
            if (line.find_first_not_of(" \t\r") != std::string_view::npos) reader.line(number, line);
        }
    } catch (const TraceError& e) {
        error = e.what();
        return false;
    } catch (const std::exception& e) {  // of the JSON library, on a mistake the checks above missed
        error = std::string("not a trace: ") + e.what();
        return false;
    }
    if (read.sessions.empty()) {
        error = "no \"trace\" record: not a trace of the kelvra backend (KELVRA_TRACE writes one)";
        return false;
    }
    trace = std::move(read);
    return true;
}

bool load_trace(const std::string& path, Trace& trace, std::string& error, KeepPayloads keep) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat about {};
    if (fd < 0 || ::fstat(fd, &about) != 0) {
        error = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(about.st_mode)) {
        error = path + ": not a regular file";
        ::close(fd);
        return false;
    }
    std::string text(size_t(about.st_size), '\0');
    read_to_end(fd, text);
    ::close(fd);
    if (!read_trace(text, trace, error, keep)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace kelvra_sim
