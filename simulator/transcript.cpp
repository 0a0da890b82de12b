#include "simulator/transcript.h"

#include "simulator/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvra_sim {

Transcript::~Transcript() {
    if (fd_ >= 0) ::close(fd_);
}

bool Transcript::open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

void Transcript::append(const FrameHeader& header, std::string_view payload) {
    if (fd_ < 0) return;
    char line[128];
    int n = std::snprintf(line, sizeof line, "frame %d %u %u %u %llu\n", int(getpid()), header.command,
                          header.direction, header.kind, static_cast<unsigned long long>(header.length));
    buffer_.assign(line, size_t(n));
    buffer_.append(payload);
    buffer_ += '\n';
    write_buffer();
}

void Transcript::append_descriptors(const std::vector<int>& fds) {
    if (fd_ < 0) return;
    // Appended piece by piece: gcc 12 at -O3 takes `" " + std::to_string(fd)`
    // for an overlapping copy (-Wrestrict) and stops a Release build.
    buffer_ = "fds ";
    buffer_ += std::to_string(getpid());
    for (int fd : fds) {
        buffer_ += ' ';
        buffer_ += std::to_string(fd);
    }
    buffer_ += '\n';
    write_buffer();
}

void Transcript::write_buffer() {
    ssize_t written = ::write(fd_, buffer_.data(), buffer_.size());
    if (written != ssize_t(buffer_.size()))
        log(1, "transcript: write failed: %s", written < 0 ? std::strerror(errno) : "short write");
}

}  // namespace kelvra_sim
