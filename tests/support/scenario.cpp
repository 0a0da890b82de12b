#include "tests/support/scenario.h"

#include <stdlib.h>
#include <unistd.h>

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
    write_file(path, "<scenario transcript=\"" + transcript_ + "\" " + attributes + ">\n" + elements +
                         "\n</scenario>\n");
    setenv("KELVRA_SIM_SCENARIO", path.c_str(), 1);
}

Scenario::~Scenario() {
    unsetenv("KELVRA_SIM_SCENARIO");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::vector<Frame> Scenario::frames() const { return read_transcript(transcript_); }

std::vector<Frame> Scenario::frames_with_command(uint32_t command) const {
    std::vector<Frame> selected;
    for (Frame& frame : frames())
        if (frame.command == command) selected.push_back(std::move(frame));
    return selected;
}

std::vector<Frame> read_transcript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames;
    size_t position = 0;
    while (position < text.size()) {
        size_t line_end = text.find('\n', position);
        if (line_end == std::string::npos) break;
        if (text.compare(position, 4, "fds ") == 0) {  // the descriptors a simulator inherited
            position = line_end + 1;
            continue;
        }
        std::istringstream line(text.substr(position, line_end - position));
        std::string word;
        Frame frame{};
        line >> word >> frame.pid >> frame.command >> frame.direction >> frame.kind >> frame.length;
        if (word != "frame" || !line) throw std::runtime_error("bad transcript line in " + path);
        position = line_end + 1;
        frame.payload = text.substr(position, frame.length);
        position += frame.length + 1;  // the payload and its closing line break
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
