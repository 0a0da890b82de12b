// The reply to a read request: image bytes into the page pipe, or a status.
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <ostream>
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

// The page pipe: the backend writes into `write_end`, the test reads `read_end`.
class PagePipe {
public:
    explicit PagePipe(bool non_blocking) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe2";
        read_end = fds[0];
        write_end = fds[1];
        if (non_blocking) fcntl(write_end, F_SETFL, fcntl(write_end, F_GETFL) | O_NONBLOCK);
    }
    ~PagePipe() {
        close_write();
        close_read();
    }
    void close_write() {
        if (write_end >= 0) close(write_end);
        write_end = -1;
    }
    void close_read() {
        if (read_end >= 0) close(read_end);
        read_end = -1;
    }
    size_t capacity() const { return static_cast<size_t>(fcntl(write_end, F_GETPIPE_SZ)); }

    // Everything in the pipe right now, without waiting.
    Bytes take_available() {
        Bytes all;
        uint8_t buffer[65536];
        for (;;) {
            pollfd ready{read_end, POLLIN, 0};
            if (poll(&ready, 1, 0) <= 0 || !(ready.revents & POLLIN)) break;
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

// -------------------------------------------------- replies that write nothing

struct SilentCase {
    const char* name;
    Bytes frame;
    bool cancelled;
    uint64_t room;
    SANE_Status expected;
    uint32_t read_status;  // after the preset
    size_t count;          // after the preset
};

std::ostream& operator<<(std::ostream& out, const SilentCase& c) { return out << c.name; }

class IpcReadReplyWithoutImage : public ::testing::TestWithParam<SilentCase> {};

TEST_P(IpcReadReplyWithoutImage, WritesNothingAndConsumesTheFrame) {
    SocketPeer peer;
    PagePipe pipe(false);
    peer.send(GetParam().frame);
    peer.send(text_bytes("next"));
    std::atomic<uint8_t> cancelled{static_cast<uint8_t>(GetParam().cancelled ? 1 : 0)};
    size_t count = kPresetCount;
    uint32_t read_status = kPresetStatus;
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status, GetParam().room),
              GetParam().expected);
    EXPECT_EQ(count, GetParam().count);
    EXPECT_EQ(read_status, GetParam().read_status);
    EXPECT_TRUE(pipe.take_available().empty());
    EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
}

const std::string kStatusTwo = "<status read_status=\"2\"/>";

INSTANTIATE_TEST_SUITE_P(
    Frames, IpcReadReplyWithoutImage,
    ::testing::Values(
        SilentCase{"image_of_length_0", header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 0), false, UINT64_MAX,
                   SANE_STATUS_GOOD, kPresetStatus, 0},
        SilentCase{"image_when_already_cancelled", reply_frame(6, IPC_PAYLOAD_IMAGE, "image bytes"), true,
                   UINT64_MAX, SANE_STATUS_GOOD, kPresetStatus, 0},
        SilentCase{"image_without_room", reply_frame(6, IPC_PAYLOAD_IMAGE, "image bytes"), false, 0,
                   SANE_STATUS_GOOD, kPresetStatus, 0},
        SilentCase{"status_job_end", reply_frame(6, IPC_PAYLOAD_XML, kStatusTwo), false, UINT64_MAX,
                   SANE_STATUS_GOOD, 2, kPresetCount},
        SilentCase{"status_read_even_when_cancelled", reply_frame(6, IPC_PAYLOAD_XML, kStatusTwo), true,
                   UINT64_MAX, SANE_STATUS_GOOD, 2, kPresetCount},
        SilentCase{"status_unknown_value", reply_frame(6, IPC_PAYLOAD_XML, "<status read_status=\"-1\"/>"), false,
                   UINT64_MAX, SANE_STATUS_GOOD, 4294967295u, kPresetCount},
        SilentCase{"status_without_attribute", reply_frame(6, IPC_PAYLOAD_XML, "<status scan_status=\"1\"/>"),
                   false, UINT64_MAX, SANE_STATUS_GOOD, 0, kPresetCount},
        SilentCase{"xml_other_root", reply_frame(6, IPC_PAYLOAD_XML, "<image_info read_status=\"2\"/>"), false,
                   UINT64_MAX, SANE_STATUS_GOOD, kPresetStatus, kPresetCount},
        SilentCase{"xml_of_length_0", header_bytes(6, IPC_REPLY, IPC_PAYLOAD_XML, 0), false, UINT64_MAX,
                   SANE_STATUS_ACCESS_DENIED, kPresetStatus, kPresetCount},
        SilentCase{"xml_not_well_formed", reply_frame(6, IPC_PAYLOAD_XML, "<status read_status=\"2\">"), false,
                   UINT64_MAX, SANE_STATUS_ACCESS_DENIED, kPresetStatus, kPresetCount},
        SilentCase{"kind_0_with_bytes_dropped", reply_frame(6, IPC_PAYLOAD_NONE, kStatusTwo), false, UINT64_MAX,
                   SANE_STATUS_GOOD, kPresetStatus, kPresetCount},
        SilentCase{"kind_3_with_bytes_dropped", reply_frame(6, 3, "raw"), false, UINT64_MAX, SANE_STATUS_GOOD,
                   kPresetStatus, kPresetCount}),
    [](const auto& info) { return std::string(info.param.name); });

// -------------------------------------------------------- refused headers

struct RefusedCase {
    const char* name;
    Bytes header;  // followed by the payload "abcd"
};

std::ostream& operator<<(std::ostream& out, const RefusedCase& c) { return out << c.name; }

class IpcReadReplyRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(IpcReadReplyRefused, IsAnIoErrorWithThePayloadUnread) {
    SocketPeer peer;
    PagePipe pipe(false);
    peer.send(GetParam().header);
    peer.send(text_bytes("abcd"));
    std::atomic<uint8_t> cancelled{0};
    size_t count = kPresetCount;
    uint32_t read_status = kPresetStatus;
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status),
              SANE_STATUS_IO_ERROR);
    EXPECT_EQ(read_status, kPresetStatus);
    EXPECT_TRUE(pipe.take_available().empty());
    EXPECT_EQ(peer.unread_on_backend(4), text_bytes("abcd"));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, IpcReadReplyRefused,
    ::testing::Values(RefusedCase{"scan_parameter_command", header_bytes(3, IPC_REPLY, IPC_PAYLOAD_IMAGE, 4)},
                      RefusedCase{"request_direction", header_bytes(6, IPC_REQUEST, IPC_PAYLOAD_IMAGE, 4)},
                      RefusedCase{"above_the_payload_bound",
                                  header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, IPC_MAX_PAYLOAD + 1)},
                      RefusedCase{"length_of_all_ones", header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, UINT64_MAX)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpcReadReply, PeerClosingMidPayloadIsAnIoError) {
    SocketPeer peer;
    PagePipe pipe(false);
    peer.send(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 1000));
    peer.send(Bytes(500, 1));
    peer.close_peer();
    std::atomic<uint8_t> cancelled{0};
    size_t count = kPresetCount;
    uint32_t read_status = kPresetStatus;
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status),
              SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(pipe.take_available().empty()) << "an incomplete piece is never handed on";
}

// ------------------------------------------------------------ image bytes

TEST(IpcReadReplyImage, BytesGoToThePipeUnchanged) {
    SocketPeer peer;
    PagePipe pipe(false);
    const Bytes image = pattern(1000);
    peer.send(concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    std::atomic<uint8_t> cancelled{0};
    size_t count = 0;
    uint32_t read_status = kPresetStatus;
    ASSERT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status), SANE_STATUS_GOOD);
    EXPECT_EQ(count, image.size());
    EXPECT_EQ(read_status, kPresetStatus);
    EXPECT_EQ(pipe.take_available(), image);
}

TEST(IpcReadReplyImage, OnlyTheRoomIsWrittenAndTheRestIsReadOffTheConnection) {
    SocketPeer peer;
    PagePipe pipe(false);
    const Bytes image = pattern(1000);
    peer.send(concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    peer.send(text_bytes("next"));
    std::atomic<uint8_t> cancelled{0};
    size_t count = 0;
    uint32_t read_status = kPresetStatus;
    ASSERT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status, 600),
              SANE_STATUS_GOOD);
    EXPECT_EQ(count, 600u);
    EXPECT_EQ(pipe.take_available(), Bytes(image.begin(), image.begin() + 600));
    EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
}

// The pipe takes a few kilobytes at a time; the test drains it slowly.
class IpcReadReplyPartialWrites : public ::testing::TestWithParam<bool> {};

TEST_P(IpcReadReplyPartialWrites, EveryByteArrivesOnceAndInOrder) {
    SocketPeer peer;
    PagePipe pipe(GetParam());
    const Bytes image = pattern(3 * 1024 * 1024 + 17);
    AsyncSend manager(peer, concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    Bytes received;
    std::thread frontend([&] {
        uint8_t buffer[3000];
        for (;;) {
            ssize_t n = read(pipe.read_end, buffer, sizeof buffer);
            if (n <= 0) break;
            received.insert(received.end(), buffer, buffer + n);
            if (received.size() < 200000) std::this_thread::sleep_for(1ms);
        }
    });
    std::atomic<uint8_t> cancelled{0};
    size_t count = 0;
    uint32_t read_status = kPresetStatus;
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status), SANE_STATUS_GOOD);
    pipe.close_write();
    frontend.join();
    EXPECT_EQ(count, image.size());
    EXPECT_TRUE(received == image) << "received " << received.size() << " of " << image.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(PipeModes, IpcReadReplyPartialWrites, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "non_blocking" : "blocking"; });

TEST(IpcReadReplyImage, CancelDuringALargeWriteStopsAfterTheWriteInProgress) {
    SocketPeer peer;
    PagePipe pipe(true);
    const Bytes image = pattern(8 * 1024 * 1024);
    AsyncSend manager(peer, concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    std::atomic<uint8_t> cancelled{0};
    Bytes received;
    std::thread frontend([&] {
        uint8_t buffer[4096];
        for (;;) {
            ssize_t n = read(pipe.read_end, buffer, sizeof buffer);
            if (n <= 0) break;
            received.insert(received.end(), buffer, buffer + n);
            if (received.size() >= 65536 && cancelled.load() == 0) cancelled.store(1);
        }
    });
    size_t count = 0;
    uint32_t read_status = kPresetStatus;
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status), SANE_STATUS_GOOD);
    pipe.close_write();
    frontend.join();
    EXPECT_GE(count, 65536u);
    // The write stops soon after the cancel, far short of the reply. How far
    // exactly depends on the scheduling of the two threads (the reader keeps
    // draining), so only the order of magnitude is asserted.
    EXPECT_LT(count, image.size() / 4);
    EXPECT_EQ(received.size(), count);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), image.begin()));
    EXPECT_EQ(read_status, kPresetStatus);
}

TEST(IpcReadReplyImage, CancelIsSeenWhileThePipeStaysFull) {
    SocketPeer peer;
    PagePipe pipe(true);
    const size_t capacity = pipe.capacity();
    const Bytes image = pattern(capacity * 3);
    AsyncSend manager(peer, concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    std::atomic<uint8_t> cancelled{0};
    std::atomic<bool> returned{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(300ms);
        cancelled.store(1);
        // Should the cancel go unseen, end the wait instead of hanging the test.
        for (int i = 0; i < 300 && !returned.load(); ++i) std::this_thread::sleep_for(10ms);
        if (!returned.load()) pipe.close_read();
    });
    size_t count = 0;
    uint32_t read_status = kPresetStatus;
    auto start = std::chrono::steady_clock::now();
    // Blocked so that the test's own fallback (closing the reader) cannot end the process.
    sigset_t pipe_only, previous_mask;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous_mask);
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status), SANE_STATUS_GOOD);
    // A caller that blocks SIGPIPE keeps what its writes raised: taken here.
    const timespec no_wait{0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    auto took = std::chrono::steady_clock::now() - start;
    returned.store(true);
    canceller.join();
    EXPECT_EQ(count, capacity);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(pipe.take_available(), Bytes(image.begin(), image.begin() + static_cast<long>(capacity)));
}

TEST(IpcReadReplyImage, PipeWhoseReaderWentGivesIoErrorWithTheCountAndNoSignal) {
    // The default disposition would end this process if SIGPIPE got through.
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fallback, &previous);

    SocketPeer peer;
    PagePipe pipe(true);
    const size_t capacity = pipe.capacity();
    const Bytes image = pattern(capacity + 5000);
    AsyncSend manager(peer, concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    std::thread frontend([&] {
        std::this_thread::sleep_for(250ms);
        pipe.close_read();
    });
    std::atomic<uint8_t> cancelled{0};
    size_t count = 0;
    uint32_t read_status = kPresetStatus;
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.write_end, &count, &cancelled, &read_status),
              SANE_STATUS_IO_ERROR);
    frontend.join();
    EXPECT_EQ(count, capacity);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE is left waiting";

    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(IpcReadReplyImage, DescriptorThatCannotBeWrittenGivesIoErrorWithCountZero) {
    SocketPeer peer;
    PagePipe pipe(false);
    const Bytes image = pattern(100);
    peer.send(concat(header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, image.size()), image));
    peer.send(text_bytes("next"));
    std::atomic<uint8_t> cancelled{0};
    size_t count = kPresetCount;
    uint32_t read_status = kPresetStatus;
    // The read end of a pipe refuses writes.
    EXPECT_EQ(receive_read_reply(&peer.ipc, pipe.read_end, &count, &cancelled, &read_status),
              SANE_STATUS_IO_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next")) << "the whole reply was read before writing";
}

}  // namespace
