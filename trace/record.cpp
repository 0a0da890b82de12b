// Building one trace record: JSON text by hand, without allocation while it
// fits the stack buffer, and the payload of a frame.
#include "trace/trace.h"

#include <charconv>
#include <cstring>
#include <new>

#include "debug/diagnostics.h"

namespace kelvra::trace {
namespace {

// The length of the valid UTF-8 sequence at `p` (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
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

bool is_utf8(const uint8_t* p, size_t size) {
    const uint8_t* end = p + size;
    for (size_t n; p < end; p += n)
        if ((n = utf8_length(p, end)) == 0) return false;
    return true;
}

}  // namespace

uint64_t fnv1a64(const void* bytes, size_t size) {
    uint64_t hash = 0xcbf29ce484222325ull;
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}

Record::~Record() = default;

void Record::append(const char* text, size_t size) {
    if (broken_) return;
    if (capacity_ - size_ < size) {
        size_t capacity = capacity_ * 2;
        if (capacity - size_ < size) capacity = size_ + size;
        char* bigger = new (std::nothrow) char[capacity];
        if (bigger == nullptr) {
            broken_ = true;
            return;
        }
        std::memcpy(bigger, data_, size_);
        heap_.reset(bigger);
        data_ = bigger;
        capacity_ = capacity;
    }
    std::memcpy(data_ + size_, text, size);
    size_ += size;
}

void Record::add_number(int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(digits, size_t(end - digits));
}

void Record::add_number(uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(digits, size_t(end - digits));
}

void Record::key(const char* name) {
    if (in_list_) end_list();
    append(",\"");
    append(name, std::strlen(name));
    append("\":");
}

// A JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 become U+FFFD (a frame payload that is not UTF-8 is
// written as base64 instead, so it is never altered).
void Record::quoted(std::string_view text) {
    append("\"");
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const uint8_t* run = p;
        while (p < end && *p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\') ++p;
        append(reinterpret_cast<const char*>(run), size_t(p - run));
        if (p == end) break;
        const size_t n = utf8_length(p, end);
        if (n == 0) {
            append("\xEF\xBF\xBD");
            ++p;
        } else if (*p == '"' || *p == '\\') {
            const char escaped[2] = {'\\', char(*p++)};
            append(escaped, 2);
        } else if (*p == '\n' || *p == '\t' || *p == '\r') {
            const char escaped[2] = {'\\', *p == '\n' ? 'n' : *p == '\t' ? 't' : 'r'};
            append(escaped, 2);
            ++p;
        } else if (*p < 0x20) {
            static const char hex[] = "0123456789abcdef";
            const char escaped[6] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
            append(escaped, 6);
            ++p;
        } else {
            append(reinterpret_cast<const char*>(p), n);
            p += n;
        }
    }
    append("\"");
}

void Record::base64(const uint8_t* bytes, size_t size) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    append("\"");
    char group[4 * 256];
    size_t filled = 0;
    for (size_t i = 0; i < size; i += 3) {
        const size_t n = size - i < 3 ? size - i : 3;
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? bytes[i + k] : 0);
        for (size_t k = 0; k < 4; ++k) group[filled++] = k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
        if (filled == sizeof group) {
            append(group, filled);
            filled = 0;
        }
    }
    append(group, filled);
    append("\"");
}

Record& Record::add(const char* name, int64_t value) {
    key(name);
    add_number(value);
    return *this;
}

Record& Record::add(const char* name, uint64_t value) {
    key(name);
    add_number(value);
    return *this;
}

Record& Record::add(const char* name, bool value) {
    key(name);
    append(value ? "true" : "false");
    return *this;
}

Record& Record::add(const char* name, std::string_view text) {
    key(name);
    quoted(text);
    return *this;
}

Record& Record::add(const char* name, const char* text) {
    if (text == nullptr) return add_null(name);
    return add(name, std::string_view(text));
}

Record& Record::add_null(const char* name) {
    key(name);
    append("null");
    return *this;
}

Record& Record::status(SANE_Status status) { return add("status", get_status_string(status)); }

Record& Record::begin_list(const char* name) {
    key(name);
    append("[");
    in_list_ = true;
    first_item_ = true;
    return *this;
}

Record& Record::item(std::string_view text) {
    if (!first_item_) append(",");
    first_item_ = false;
    quoted(text);
    return *this;
}

Record& Record::end_list() {
    in_list_ = false;
    append("]");
    return *this;
}

Record& Record::header(const Header& h) {
    return add("command", h.command).add("direction", h.direction).add("kind", h.kind).add("length", h.length);
}

Record& Record::frame(const Header& h, const void* payload, uint64_t bytes, size_t header_bytes) {
    header(h);
    add("bytes", bytes);
    if (header_bytes < 20) add("header_bytes", uint64_t{header_bytes});
    const auto* data = static_cast<const uint8_t*>(payload);
    if (bytes == 0 || data == nullptr) return *this;
    if (h.kind == kImageKind) {
        char hex[17];
        const uint64_t hash = fnv1a64(data, bytes);
        for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(hash >> (60 - 4 * i)) & 15];
        add("fnv1a64", std::string_view(hex, 16));
        if (with_images()) {
            key("base64");
            base64(data, bytes);
        }
    } else if (is_utf8(data, bytes)) {
        add("text", std::string_view(reinterpret_cast<const char*>(data), bytes));
    } else {
        key("base64");
        base64(data, bytes);
    }
    return *this;
}

}  // namespace kelvra::trace
