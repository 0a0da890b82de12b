// A connection record on one end of a socket pair, with the test playing the
// scan-manager on the other end: no child process is needed to exercise the
// frame and message code.
#pragma once

#include "ipc/ipc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace ipc_test {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

using Bytes = std::vector<uint8_t>;

inline Bytes header_bytes(uint32_t command, uint32_t direction, uint32_t kind, uint64_t length) {
    ipc_header_t header{command, direction, kind, length};
    Bytes bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

inline Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A reply frame: header with the payload's real length, then the payload.
inline Bytes reply_frame(uint32_t command, uint32_t kind, const std::string& payload) {
    return concat(header_bytes(command, IPC_REPLY, kind, payload.size()), text_bytes(payload));
}

class SocketPeer {
public:
    SocketPeer() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair: " << std::strerror(errno);
            return;
        }
        // A fault in the code under test must fail the test, not hang it.
        timeval limit{3, 0};
        for (int fd : fds) {
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        }
        ipc.socket = fds[0];
        peer_fd_ = fds[1];
    }
    ~SocketPeer() {
        if (ipc.socket >= 0) close(ipc.socket);
        close_peer();
    }
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    ipc_t ipc{-1, -1, -1};

    int peer_fd() const { return peer_fd_; }

    void close_peer() {
        if (peer_fd_ >= 0) close(peer_fd_);
        peer_fd_ = -1;
    }

    // The scan-manager's side: send raw bytes.
    void send(const Bytes& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::send(peer_fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "peer send: " << std::strerror(errno);
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

    // The scan-manager's side: receive exactly `size` bytes the backend sent.
    Bytes receive(size_t size) { return read_from(peer_fd_, size); }

    // What is still waiting on the backend's end of the connection: shows
    // whether a payload was left unread.
    Bytes unread_on_backend(size_t size) { return read_from(ipc.socket, size); }

    // The scan-manager receives one request frame: its header and payload.
    struct Request {
        ipc_header_t header{};
        std::string payload;
    };
    Request receive_request() {
        Request request;
        Bytes head = receive(sizeof(ipc_header_t));
        if (head.size() != sizeof(ipc_header_t)) return request;
        std::memcpy(&request.header, head.data(), sizeof request.header);
        Bytes body = receive(static_cast<size_t>(request.header.length));
        request.payload.assign(body.begin(), body.end());
        return request;
    }

    // The scan-manager receives one XML request of `command` whose document,
    // after the declaration, is `root` and a newline.
    void expect_xml_request(uint32_t command, const std::string& root) {
        Request request = receive_request();
        EXPECT_EQ(request.header.command, command);
        EXPECT_EQ(request.header.direction, IPC_REQUEST);
        EXPECT_EQ(request.header.kind, IPC_PAYLOAD_XML);
        EXPECT_EQ(request.payload, kDeclaration + root + "\n");
    }

private:
    static Bytes read_from(int fd, size_t size) {
        Bytes bytes(size);
        for (size_t done = 0; done < size;) {
            ssize_t n = read(fd, bytes.data() + done, size - done);
            if (n <= 0) {
                ADD_FAILURE() << "read " << done << " of " << size << " bytes";
                bytes.resize(done);
                break;
            }
            done += static_cast<size_t>(n);
        }
        return bytes;
    }

    int peer_fd_ = -1;
};

}  // namespace ipc_test
