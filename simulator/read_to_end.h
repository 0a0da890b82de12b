// Reads an open regular file into memory, for the scenario and the trace.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace kelvra_sim {

// Fills `text` (sized by the caller from fstat) from `fd`, and shortens it to
// what was read when the file shrank meanwhile or a read failed.
inline void read_to_end(int fd, std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    text.resize(done);
}

}  // namespace kelvra_sim
