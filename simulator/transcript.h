// The transcript: every received frame appended to a file, for tests that
// check what the backend sent. Two kinds of entries, each written with one
// write so that the entries of several processes sharing the file never
// interleave:
//   fds <pid> <n1> <n2> ...\n   once, first: the descriptors the process
//                                inherited, ascending
//   frame <pid> <command> <direction> <kind> <length>\n<payload>\n
//                                for every received frame
#pragma once

#include "simulator/wire.h"

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

    // Opens `path` for appending (see open_private_append); false with
    // `error` saying why when it cannot.
    bool open(const std::string& path, std::string& error);

    // Appends the "fds" entry for `fds`.
    void append_descriptors(const std::vector<int>& fds);

    // Appends the "frame" entry: its line, the payload and "\n".
    void append(const FrameHeader& header, std::string_view payload);

private:
    void write_buffer();

    int fd_ = -1;
    std::string buffer_;
};

}  // namespace kelvra_sim
