// The reply to a read request: image bytes into the page pipe, or a status.
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace ipc_test;
using namespace std::chrono_literals;

namespace {

Bytes pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 8) * 7 + (i >> 16));
    return bytes;
}

Bytes image_frame(const Bytes& image) {
    return concat(header_bytes(IPC_CMD_READ_IMAGE, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image);
}

// The page pipe: the backend writes into `write_end`, the test reads `read_end`.
struct PagePipe {
    explicit PagePipe(bool non_blocking) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe2";
        read_end = fds[0];
        write_end = fds[1];
        if (non_blocking) fcntl(write_end, F_SETFL, fcntl(write_end, F_GETFL) | O_NONBLOCK);
    }
    ~PagePipe() {
        close_end(write_end);
        close_end(read_end);
    }
    static void close_end(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }

    // Everything in the pipe right now, without waiting.
    Bytes take_available() {
        Bytes all;
        uint8_t buffer[65536];
        for (pollfd ready{read_end, POLLIN, 0}; poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN);) {
            ssize_t n = read(read_end, buffer, sizeof buffer);
            if (n <= 0) break;
            all.insert(all.end(), buffer, buffer + n);
        }
        return all;
    }

    int read_end = -1;
    int write_end = -1;
};

// The scan-manager's side sends from its own thread: large replies do not
// fit in the socket's buffer.
class AsyncSend {
public:
    AsyncSend(SocketPeer& peer, Bytes bytes) : thread_([&peer, bytes = std::move(bytes)] { peer.send(bytes); }) {}
    ~AsyncSend() { thread_.join(); }

private:
    std::thread thread_;
};

constexpr uint32_t kPresetStatus = 77;
constexpr size_t kPresetCount = 123;

// One receive_read_reply with the outputs preset, so an untouched one shows.
struct Reply {
    SANE_Status status;
    size_t count;
    uint32_t read_status;
};

Reply receive(SocketPeer& peer, int fd, const std::atomic<uint8_t>& cancelled, uint64_t room = UINT64_MAX) {
    Reply reply{SANE_STATUS_GOOD, kPresetCount, kPresetStatus};
    reply.status = receive_read_reply(&peer.ipc, fd, &reply.count, &cancelled, &reply.read_status, room);
    return reply;
}

// ------------------------------------------- whole frames consumed

// Whatever a reply carries, its whole frame is read off the connection; only
// image bytes within the room go into the pipe.
TEST(IpcReadReply, ConsumesTheWholeFrameAndWritesOnlyImageBytesWithinTheRoom) {
    const std::string status_two = "<status read_status=\"2\"/>";
    const struct {
        const char* label;
        Bytes frame;
        bool cancelled;
        uint64_t room;
        SANE_Status expected;
        uint32_t read_status;
        size_t count;
        std::string written = "";
    } cases[] = {
        {"image beyond the room", reply_frame(6, IPC_PAYLOAD_IMAGE, "0123456789"), false, 6, SANE_STATUS_GOOD,
         kPresetStatus, 6, "012345"},
        {"image of length 0", header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 0), false, UINT64_MAX, SANE_STATUS_GOOD,
         kPresetStatus, 0},
        {"image when already cancelled", reply_frame(6, IPC_PAYLOAD_IMAGE, "image bytes"), true, UINT64_MAX,
         SANE_STATUS_GOOD, kPresetStatus, 0},
        {"image without room", reply_frame(6, IPC_PAYLOAD_IMAGE, "image bytes"), false, 0, SANE_STATUS_GOOD,
         kPresetStatus, 0},
        {"job end", reply_frame(6, IPC_PAYLOAD_XML, status_two), false, UINT64_MAX, SANE_STATUS_GOOD, 2,
         kPresetCount},
        {"status read even when cancelled", reply_frame(6, IPC_PAYLOAD_XML, status_two), true, UINT64_MAX,
         SANE_STATUS_GOOD, 2, kPresetCount},
        {"status without read_status", reply_frame(6, IPC_PAYLOAD_XML, "<status scan_status=\"1\"/>"), false,
         UINT64_MAX, SANE_STATUS_GOOD, 0, kPresetCount},
        {"xml of another root", reply_frame(6, IPC_PAYLOAD_XML, "<image_info read_status=\"2\"/>"), false,
         UINT64_MAX, SANE_STATUS_GOOD, kPresetStatus, kPresetCount},
        {"xml of length 0", header_bytes(6, IPC_REPLY, IPC_PAYLOAD_XML, 0), false, UINT64_MAX,
         SANE_STATUS_ACCESS_DENIED, kPresetStatus, kPresetCount},
        {"kind 0 with bytes", reply_frame(6, IPC_PAYLOAD_NONE, status_two), false, UINT64_MAX, SANE_STATUS_GOOD,
         kPresetStatus, kPresetCount},
        {"kind 3 with bytes", reply_frame(6, 3, "raw"), false, UINT64_MAX, SANE_STATUS_GOOD, kPresetStatus,
         kPresetCount},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SocketPeer peer;
        PagePipe pipe(false);
        peer.send(c.frame);
        peer.send(text_bytes("next"));
        const std::atomic<uint8_t> cancelled{static_cast<uint8_t>(c.cancelled ? 1 : 0)};
        const Reply reply = receive(peer, pipe.write_end, cancelled, c.room);
        EXPECT_EQ(reply.status, c.expected);
        EXPECT_EQ(reply.count, c.count);
        EXPECT_EQ(reply.read_status, c.read_status);
        EXPECT_EQ(pipe.take_available(), text_bytes(c.written));
        EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
    }
}

// Kind and length are not checked here: the command and direction are.
TEST(IpcReadReply, WrongCommandOrDirectionIsAnIoErrorWithThePayloadUnread) {
    for (const Bytes& header : {header_bytes(IPC_CMD_SCAN_PARAMETER, IPC_REPLY, IPC_PAYLOAD_IMAGE, 4),
                                header_bytes(IPC_CMD_READ_IMAGE, IPC_REQUEST, IPC_PAYLOAD_IMAGE, 4)}) {
        SocketPeer peer;
        PagePipe pipe(false);
        peer.send(header);
        peer.send(text_bytes("abcd"));
        const std::atomic<uint8_t> cancelled{0};
        const Reply reply = receive(peer, pipe.write_end, cancelled);
        EXPECT_EQ(reply.status, SANE_STATUS_IO_ERROR);
        EXPECT_EQ(reply.read_status, kPresetStatus);
        EXPECT_TRUE(pipe.take_available().empty());
        EXPECT_EQ(peer.unread_on_backend(4), text_bytes("abcd"));
    }
}

// ------------------------------------------------------------ image bytes

// The pipe takes a few kilobytes at a time; the test drains it slowly. Every
// byte must arrive exactly once and in order, whatever the pipe's mode.
TEST(IpcReadReplyImage, PartialWritesDeliverEveryByteOnceAndInOrder) {
    for (bool non_blocking : {false, true}) {
        SCOPED_TRACE(non_blocking ? "non-blocking pipe" : "blocking pipe");
        SocketPeer peer;
        PagePipe pipe(non_blocking);
        const Bytes image = pattern(3 * 1024 * 1024 + 17);
        AsyncSend manager(peer, image_frame(image));
        Bytes received;
        std::thread frontend([&] {
            uint8_t buffer[3000];
            for (ssize_t n; (n = read(pipe.read_end, buffer, sizeof buffer)) > 0;) {
                received.insert(received.end(), buffer, buffer + n);
                if (received.size() < 200000) std::this_thread::sleep_for(1ms);
            }
        });
        const std::atomic<uint8_t> cancelled{0};
        const Reply reply = receive(peer, pipe.write_end, cancelled);
        PagePipe::close_end(pipe.write_end);
        frontend.join();
        EXPECT_EQ(reply.status, SANE_STATUS_GOOD);
        EXPECT_EQ(reply.count, image.size());
        EXPECT_EQ(reply.read_status, kPresetStatus);
        EXPECT_TRUE(received == image) << "received " << received.size() << " of " << image.size() << " bytes";
    }
}

TEST(IpcReadReplyImage, CancelDuringALargeWriteStopsAfterTheWriteInProgress) {
    SocketPeer peer;
    PagePipe pipe(true);
    const Bytes image = pattern(8 * 1024 * 1024);
    AsyncSend manager(peer, image_frame(image));
    std::atomic<uint8_t> cancelled{0};
    Bytes received;
    std::thread frontend([&] {
        uint8_t buffer[4096];
        for (ssize_t n; (n = read(pipe.read_end, buffer, sizeof buffer)) > 0;) {
            received.insert(received.end(), buffer, buffer + n);
            if (received.size() >= 65536) cancelled.store(1);
        }
    });
    const Reply reply = receive(peer, pipe.write_end, cancelled);
    PagePipe::close_end(pipe.write_end);
    frontend.join();
    EXPECT_EQ(reply.status, SANE_STATUS_GOOD);
    EXPECT_GE(reply.count, 65536u);
    // The write stops soon after the cancel, far short of the reply. How far
    // exactly depends on the scheduling of the two threads (the reader keeps
    // draining), so only the order of magnitude is asserted.
    EXPECT_LT(reply.count, image.size() / 4);
    EXPECT_EQ(received.size(), reply.count);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), image.begin()));
}

TEST(IpcReadReplyImage, PipeWhoseReaderWentGivesIoErrorWithTheCountAndNoSignal) {
    // The default disposition would end this process if SIGPIPE got through.
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fallback, &previous);

    SocketPeer peer;
    PagePipe pipe(true);
    const auto capacity = static_cast<size_t>(fcntl(pipe.write_end, F_GETPIPE_SZ));
    AsyncSend manager(peer, image_frame(pattern(capacity + 5000)));
    std::thread frontend([&] {
        std::this_thread::sleep_for(250ms);
        PagePipe::close_end(pipe.read_end);
    });
    const std::atomic<uint8_t> cancelled{0};
    const Reply reply = receive(peer, pipe.write_end, cancelled);
    frontend.join();
    EXPECT_EQ(reply.status, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(reply.count, capacity);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE is left waiting";

    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
