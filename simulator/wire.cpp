#include "simulator/wire.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace kelvra_sim {

const char* command_name(uint32_t command) {
    switch (command) {
    case cmd_discovery: return "discovery";
    case cmd_open_device: return "open-device";
    case cmd_close_device: return "close-device";
    case cmd_scan_parameter: return "scan-parameter";
    case cmd_start_scan: return "start-scan";
    case cmd_end_scan: return "end-scan";
    case cmd_read_image: return "read-image";
    default: return "unknown";
    }
}

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) hash = (hash ^ uint8_t(c)) * 0x100000001b3ull;
    return hash;
}

ReadResult read_exact(int fd, void* buffer, size_t count) {
    auto* at = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::recv(fd, at + done, count - done, 0);
        if (n > 0) {
            done += size_t(n);
        } else if (n == 0) {
            return done == 0 ? ReadResult::end : ReadResult::truncated;
        } else if (errno != EINTR) {
            return ReadResult::failed;
        }
    }
    return ReadResult::complete;
}

bool send_frame(int fd, const FrameHeader& header, const void* payload, size_t size) {
    iovec pieces[2] = {
        {const_cast<FrameHeader*>(&header), sizeof header},
        {const_cast<void*>(payload), size},
    };
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = size > 0 ? 2 : 1;
    while (message.msg_iovlen > 0) {
        ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // Step over what went out; a short send continues where it stopped.
        size_t sent = size_t(n);
        while (message.msg_iovlen > 0 && sent >= message.msg_iov[0].iov_len) {
            sent -= message.msg_iov[0].iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov[0].iov_base = static_cast<uint8_t*>(message.msg_iov[0].iov_base) + sent;
            message.msg_iov[0].iov_len -= sent;
        }
    }
    return true;
}

bool send_bytes(int fd, const void* data, size_t size) {
    const auto* at = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace kelvra_sim
