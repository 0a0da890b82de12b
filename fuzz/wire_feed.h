// Plays the scan-manager for one fuzz input: the input's bytes arrive on a
// connection exactly as if the scan-manager had sent them, followed by the
// end of the connection. Header-only, so that the regression tests in the
// unit test program feed their inputs through the very same code.
#pragma once

#include "ipc/ipc.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

namespace kelvra_fuzz {

// A socket pair whose far end has already sent the input and closed, so the
// backend's reads see every byte and then end of file; no time limit is set
// on the backend's end, none is needed.
class WireFeed {
public:
    WireFeed(const uint8_t* data, size_t size) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        backend_fd_ = fds[0];
        writer_fd_ = fds[1];
        ipc = ipc_t{-1, -1, backend_fd_};

        // A large send buffer lets the whole input go out at once without a
        // thread; the unprivileged option is capped, the forced one is not.
        int wanted = 4 << 20;
        if (setsockopt(writer_fd_, SOL_SOCKET, SO_SNDBUFFORCE, &wanted, sizeof wanted) != 0)
            setsockopt(writer_fd_, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);

        size_t done = 0;
        while (done < size) {
            ssize_t n = send(writer_fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;  // full: the rest goes out from a thread below
        }
        if (done == size) {
            close_writer();
            return;
        }
        // The backend reads while this thread writes the rest. It ends when
        // everything is out, or when the backend's end is closed (EPIPE).
        rest_.assign(data + done, data + size);
        writer_ = std::thread([this] {
            size_t sent = 0;
            while (sent < rest_.size()) {
                ssize_t n = send(writer_fd_, rest_.data() + sent, rest_.size() - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    break;
                }
            }
            close_writer();
        });
    }

    ~WireFeed() {
        // Closing the backend's end first releases a writer blocked on a
        // reply that the backend refused to read.
        close(backend_fd_);
        if (writer_.joinable()) writer_.join();
        close_writer();
    }

    WireFeed(const WireFeed&) = delete;
    WireFeed& operator=(const WireFeed&) = delete;

    ipc_t ipc{-1, -1, -1};

private:
    void close_writer() {
        if (writer_fd_ >= 0) close(writer_fd_);
        writer_fd_ = -1;
    }

    int backend_fd_ = -1;
    int writer_fd_ = -1;
    std::vector<uint8_t> rest_;
    std::thread writer_;
};

// The page pipe of a read reply. It is made large enough to hold every image
// byte of one input, and it is drained after each reply, so the backend's
// writes never wait for a reader.
class PagePipe {
public:
    PagePipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
        read_fd_ = fds[0];
        write_fd = fds[1];
        fcntl(write_fd, F_SETPIPE_SZ, 1 << 20);
        fcntl(read_fd_, F_SETFL, fcntl(read_fd_, F_GETFL) | O_NONBLOCK);
        capacity = static_cast<size_t>(fcntl(write_fd, F_GETPIPE_SZ));
    }
    ~PagePipe() {
        close(read_fd_);
        close(write_fd);
    }
    PagePipe(const PagePipe&) = delete;
    PagePipe& operator=(const PagePipe&) = delete;

    // Everything written since the last call.
    std::vector<uint8_t> drain() {
        std::vector<uint8_t> bytes;
        uint8_t buffer[65536];
        for (;;) {
            ssize_t n = read(read_fd_, buffer, sizeof buffer);
            if (n > 0) {
                bytes.insert(bytes.end(), buffer, buffer + n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return bytes;
        }
    }

    int write_fd = -1;
    size_t capacity = 0;

private:
    int read_fd_ = -1;
};

}  // namespace kelvra_fuzz
