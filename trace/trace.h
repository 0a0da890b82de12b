// The trace a user can send with a bug report: when KELVRA_TRACE names a file,
// every entry-point call, every scan-manager start and exit and every frame of
// every connection is appended to it as one JSON Lines record, and kelvra-sim
// replays it (sane-kelvra(5), TRACE, gives every record and field).
//
// It is diagnostics only. With the variable unset no file is made and each
// trace point costs one predictable branch. A trace that cannot be written is
// dropped silently; nothing the backend sends or returns depends on it, and
// every trace point leaves errno as it found it.
//
// Records are built on the stack where they fit and go out with one write(2)
// each on a descriptor opened for appending, so that the reader thread's and
// the frontend thread's records never interleave; a record small enough for
// the stack (a cancel's) takes no lock and allocates nothing, and may be
// written from a signal handler.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kelvra::trace {

// Written into every session's first record; a reader refuses a later one.
constexpr int kFormatVersion = 1;

// A session runs from the first record after sane_init (or after the
// library's first use) to sane_exit.
enum class State : int { unknown, off, on };
extern std::atomic<State> g_state;

// Reads KELVRA_TRACE and KELVRA_TRACE_IMAGES and opens the file, once per
// session; true when tracing.
bool start();
// True when tracing; the first call of a session looks at the environment.
inline bool on() {
    const State state = g_state.load(std::memory_order_acquire);
    return state == State::on || (state == State::unknown && start());
}
// True when a session is tracing already: never opens anything, for a call
// that may run in a signal handler.
inline bool active() { return g_state.load(std::memory_order_acquire) == State::on; }

// sane_init: the next record begins a new session, with the environment read afresh.
void restart();
// sane_exit: the session's file is closed. Every thread that writes has ended by then.
void stop();

// The number of a new connection in this session, from 1; 0 when not
// tracing. A session with connections still open is not ended by restart
// or stop: a frontend that calls sane_init again without sane_exit keeps
// its handles, and their records their file.
uint32_t next_connection();
void connection_ended(uint32_t connection);
// Whether image payloads are written out whole (KELVRA_TRACE_IMAGES=1), not only their checksum.
bool with_images();

// FNV-1a, 64 bits: the checksum of image payloads, the simulator's too.
uint64_t fnv1a64(const void* bytes, size_t size);

// The 20-byte frame header, decoded; the trace knows nothing else of the protocol.
struct Header {
    uint32_t command;
    uint32_t direction;
    uint32_t kind;
    uint64_t length;
};
constexpr uint32_t kImageKind = 2;

// One record: "time_us", "pid", "event", "thread", then the fields added.
class Record {
public:
    explicit Record(const char* event);
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    Record& add(const char* name, int64_t value);
    Record& add(const char* name, uint64_t value);
    Record& add(const char* name, int value) { return add(name, int64_t{value}); }
    Record& add(const char* name, uint32_t value) { return add(name, uint64_t{value}); }
    Record& add(const char* name, bool value);
    Record& add(const char* name, std::string_view text);  // a JSON string; bytes not UTF-8 become U+FFFD
    Record& add(const char* name, const char* text);       // null gives null
    Record& add_null(const char* name);
    Record& status(SANE_Status status);  // "status": its name from the diagnostics' table
    Record& begin_list(const char* name);
    Record& item(std::string_view text);
    Record& end_list();
    // The decoded header, "bytes" (the payload bytes that went with it),
    // "header_bytes" when fewer than 20 did, and the payload: a checksum
    // ("fnv1a64") for images, and their bytes only when asked; other kinds as
    // "text" when valid UTF-8, else "base64".
    Record& frame(const Header& header, const void* payload, uint64_t bytes, size_t header_bytes = 20);
    // The header's fields alone.
    Record& header(const Header& header);

    // Appends the record to the file, whole, in one write. A record that
    // could not be built completely (no memory) is dropped.
    void write();

private:
    void append(const char* text, size_t size);
    void append(std::string_view text) { append(text.data(), text.size()); }
    void key(const char* name);
    void add_number(int64_t value);
    void add_number(uint64_t value);
    void quoted(std::string_view text);
    void base64(const uint8_t* bytes, size_t size);

    char local_[1024];
    char* data_ = local_;
    size_t size_ = 0;
    size_t capacity_ = sizeof local_;
    std::unique_ptr<char[]> heap_;
    bool broken_ = false;  // an allocation failed: the record is dropped
    bool in_list_ = false;
    bool first_item_ = false;
};

}  // namespace kelvra::trace
