#include "tests/support/scenario.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kelvra_test {
namespace {

// "fds PID FD..." lines, and "frame PID COMMAND DIRECTION KIND LENGTH" lines
// each followed by the payload and a line feed.
std::vector<Frame> read_transcript(const std::string& path, int command, std::vector<std::vector<int>>* fds) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;) {
        std::istringstream line(text.substr(at, end - at));
        std::string word;
        Frame frame{};
        line >> word >> frame.pid;
        at = end + 1;
        if (word == "fds") {
            if (fds != nullptr) fds->emplace_back(std::istream_iterator<int>(line), std::istream_iterator<int>());
            continue;
        }
        if (word != "frame" || !(line >> frame.command >> frame.direction >> frame.kind >> frame.length))
            throw std::runtime_error("bad transcript line in " + path);
        frame.payload = text.substr(at, frame.length);
        at += frame.length + 1;
        if (command < 0 || frame.command == uint32_t(command)) frames.push_back(std::move(frame));
    }
    return frames;
}

}  // namespace

Scenario::Scenario(const std::string& elements, const std::string& attributes) {
    char pattern[] = "/tmp/kelvra-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    write_file(directory_ + "/scenario.xml", "<scenario transcript=\"" + transcript_path() + "\" " + attributes +
                                                 ">\n" + elements + "\n</scenario>\n");
    setenv("KELVRA_SIM_SCENARIO", (directory_ + "/scenario.xml").c_str(), 1);
}

Scenario::~Scenario() {
    unsetenv("KELVRA_SIM_SCENARIO");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

bool Scenario::accepted() const { return std::filesystem::exists(transcript_path()); }

std::vector<Frame> Scenario::frames(int command) const { return read_transcript(transcript_path(), command, nullptr); }

std::vector<std::vector<int>> Scenario::inherited_descriptors() const {
    std::vector<std::vector<int>> fds;
    read_transcript(transcript_path(), -2, &fds);
    return fds;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text)) throw std::runtime_error("cannot write " + path);
}

}  // namespace kelvra_test
