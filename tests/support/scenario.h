// A simulator scenario for one test, named to the simulator through the
// environment (the backend's children inherit it) and removed at the end of
// the test; and the transcript its simulators wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_test {

struct Frame {
    int pid;
    uint32_t command, direction, kind;
    uint64_t length;
    std::string payload;
};

class Scenario {
public:
    // `elements` go inside <scenario>, `attributes` onto it (the transcript is added).
    explicit Scenario(const std::string& elements = "", const std::string& attributes = "");
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    const std::string& directory() const { return directory_; }
    std::string transcript_path() const { return directory_ + "/transcript"; }
    // A simulator accepted the file: only then is the transcript made.
    bool accepted() const;
    std::vector<Frame> frames(int command = -1) const;  // the frames received, of one command or all
    std::vector<Frame> frames_with_command(uint32_t command) const { return frames(int(command)); }
    std::vector<std::vector<int>> inherited_descriptors() const;  // per simulator, its "fds" line

private:
    std::string directory_;
};

void write_file(const std::string& path, const std::string& text);  // replaces the file

}  // namespace kelvra_test
