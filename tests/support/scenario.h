// A simulator scenario for one test: written to a temporary file, named to
// the simulator through the environment (the backend's children inherit it),
// and removed again at the end of the test. Also reads back the transcript of
// every frame the simulators of the test received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_test {

struct Frame {
    int pid;
    uint32_t command;
    uint32_t direction;
    uint32_t kind;
    uint64_t length;
    std::string payload;
};

class Scenario {
public:
    // `elements` go inside <scenario>; `attributes` onto it (transcript is added).
    explicit Scenario(const std::string& elements = "", const std::string& attributes = "");
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    const std::string& directory() const { return directory_; }
    const std::string& transcript_path() const { return transcript_; }
    std::vector<Frame> frames() const;
    std::vector<Frame> frames_with_command(uint32_t command) const;

private:
    std::string directory_;
    std::string transcript_;
};

// The frames of a transcript, without the simulators' "fds" lines.
std::vector<Frame> read_transcript(const std::string& path);

// Writes `text` to `path`, replacing it.
void write_file(const std::string& path, const std::string& text);

}  // namespace kelvra_test
