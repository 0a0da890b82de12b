// The transcript: every received frame appended to a file, for tests that
// check what the backend sent.
#pragma once

#include "simulator/wire.h"

#include <string>
#include <string_view>

namespace kelvra_sim {

class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // Opens `path` for appending; false (with errno) when it cannot.
    bool open(const std::string& path);

    // Appends "frame <pid> <command> <direction> <kind> <length>\n", the
    // payload and "\n" with one write, so frames of several processes sharing
    // the file never interleave.
    void append(const FrameHeader& header, std::string_view payload);

private:
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace kelvra_sim
