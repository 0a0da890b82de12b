#include "tests/support/scenario.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kelvra_test {

Scenario::Scenario(const std::string& elements, const std::string& attributes) {
    char pattern[] = "/tmp/kelvra-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    transcript_ = directory_ + "/transcript";
    const std::string path = directory_ + "/scenario.xml";
    write_file(path, "<scenario transcript=\"" + transcript_ + "\" " + attributes + ">\n" + elements + "\n</scenario>\n");
    setenv("KELVRA_SIM_SCENARIO", path.c_str(), 1);
}

Scenario::~Scenario() {
    unsetenv("KELVRA_SIM_SCENARIO");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

bool Scenario::accepted() const { return std::filesystem::exists(transcript_); }

std::vector<Frame> Scenario::frames_with_command(uint32_t command) const {
    std::vector<Frame> selected;
    for (Frame& frame : frames())
        if (frame.command == command) selected.push_back(std::move(frame));
    return selected;
}

std::vector<std::vector<int>> Scenario::inherited_descriptors() const {
    std::vector<std::vector<int>> descriptors;
    read(&descriptors);
    return descriptors;
}

// "fds PID FD..." lines, and "frame PID COMMAND DIRECTION KIND LENGTH" lines
// each followed by the payload and a line feed.
std::vector<Frame> Scenario::read(std::vector<std::vector<int>>* descriptors) const {
    std::ifstream in(transcript_, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;) {
        std::istringstream line(text.substr(at, end - at));
        std::string word;
        Frame frame{};
        line >> word >> frame.pid;
        at = end + 1;
        if (word == "fds") {
            if (descriptors == nullptr) continue;
            descriptors->emplace_back();
            for (int fd; line >> fd;) descriptors->back().push_back(fd);
            continue;
        }
        line >> frame.command >> frame.direction >> frame.kind >> frame.length;
        if (word != "frame" || !line) throw std::runtime_error("bad transcript line in " + transcript_);
        frame.payload = text.substr(at, frame.length);
        at += frame.length + 1;
        frames.push_back(std::move(frame));
    }
    return frames;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace kelvra_test
