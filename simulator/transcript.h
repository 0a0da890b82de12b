// The transcript: every received frame appended to a file, for tests that
// check what the backend sent. Two kinds of entries, each written with one
// write so that the entries of several processes sharing the file never
// interleave:
//   fds <pid> <n1> <n2> ...\n   once, first: the descriptors the process
//                                inherited, ascending
//   signals <pid> blocked=<hex> ignored=<hex>\n
//                                once, next: the signal mask and the ignored
//                                signals it inherited (bit n-1 for signal n)
//   frame <pid> <command> <direction> <kind> <length>\n<payload>\n
//                                for every received frame
#pragma once

#include "simulator/wire.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_sim {

class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // Opens `path` for appending; false (with errno) when it cannot.
    bool open(const std::string& path);

    // Appends the "fds" entry for `fds`.
    void append_descriptors(const std::vector<int>& fds);

    // Appends the "signals" entry for the two signal sets, as bit masks.
    void append_signals(uint64_t blocked, uint64_t ignored);

    // Appends the "frame" entry: its line, the payload and "\n".
    void append(const FrameHeader& header, std::string_view payload);

private:
    void write_buffer();

    int fd_ = -1;
    std::string buffer_;
};

}  // namespace kelvra_sim
