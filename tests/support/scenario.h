// A simulator scenario for one test: written to a temporary folder, named to
// the simulator through the environment (the backend's children inherit it),
// and removed at the end of the test; and the transcript that the test's
// simulators wrote: every frame they received, the descriptors they inherited.
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
    const std::string& transcript_path() const { return transcript_; }
    // A simulator read the file and accepted it: only then is the transcript
    // made, so a typo in a fault cannot pass for the fault.
    bool accepted() const;
    std::vector<Frame> frames() const { return read(nullptr); }
    std::vector<Frame> frames_with_command(uint32_t command) const;
    // Per simulator, the descriptors it inherited (its "fds" line).
    std::vector<std::vector<int>> inherited_descriptors() const;

private:
    std::vector<Frame> read(std::vector<std::vector<int>>* descriptors) const;
    std::string directory_, transcript_;
};

// Writes `text` to `path`, replacing it.
void write_file(const std::string& path, const std::string& text);

}  // namespace kelvra_test
