// The frame layer: single reads and writes, whole headers and payloads, the
// header-only requests and the bare acknowledgements.
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

using namespace ipc_test;

namespace {

TEST(IpcSingleTransfer, NullArgumentsAreInvalid) {
    SocketPeer peer;
    char buffer[4] = {};
    size_t count = sizeof buffer;
    EXPECT_EQ(ipc_write(nullptr, buffer, &count), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_write(&peer.ipc, nullptr, &count), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_write(&peer.ipc, buffer, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_read(nullptr, buffer, &count), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_read(&peer.ipc, nullptr, &count), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_read(&peer.ipc, buffer, nullptr), SANE_STATUS_INVAL);
}

TEST(IpcSingleTransfer, WriteToAGonePeerIsAnErrorNotASignal) {
    // The default disposition would end this process if a write raised SIGPIPE.
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fallback, &previous);

    SocketPeer peer;
    peer.close_peer();
    const char buffer[] = "request";
    size_t count = sizeof buffer;
    EXPECT_EQ(ipc_write(&peer.ipc, buffer, &count), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(count, sizeof buffer) << "a failed write leaves the count as it was";
    EXPECT_EQ(send_read_request(&peer.ipc), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(send_discovery(&peer.ipc, {}), SANE_STATUS_IO_ERROR);

    sigaction(SIGPIPE, &previous, nullptr);
}

// ------------------------------------------------------- headers and payloads

TEST(IpcHeader, ArrivesInPiecesAndIsAssembled) {
    SocketPeer peer;
    const Bytes whole = header_bytes(3, IPC_REPLY, IPC_PAYLOAD_XML, 0x0102030405060708ull);
    std::thread manager([&] {
        peer.send(Bytes(whole.begin(), whole.begin() + 7));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.send(Bytes(whole.begin() + 7, whole.end()));
    });
    ipc_header_t header{};
    EXPECT_EQ(receive_header(&peer.ipc, &header), SANE_STATUS_GOOD);
    manager.join();
    EXPECT_EQ(header.command, 3u);
    EXPECT_EQ(header.direction, IPC_REPLY);
    EXPECT_EQ(header.kind, IPC_PAYLOAD_XML);
    EXPECT_EQ(uint64_t{header.length}, 0x0102030405060708ull);
}

// The scan-manager closing its end in mid-frame fails at once, without a loop.
TEST(IpcHeader, PeerClosingMidHeaderOrMidPayloadFailsAtOnce) {
    SocketPeer peer;
    const Bytes whole = header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 100);
    peer.send(Bytes(whole.begin(), whole.begin() + 7));
    peer.close_peer();
    ipc_header_t header{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive_header(&peer.ipc, &header), SANE_STATUS_IO_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    SocketPeer payload_peer;
    payload_peer.send(Bytes(40, 0xAB));
    payload_peer.close_peer();
    ipc_payload_t payload{nullptr, 0, 0};
    header = ipc_header_t{6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 100};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive_payload(&payload_peer.ipc, &header, &payload), SANE_STATUS_IO_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(payload.kind, 0u) << "an incomplete payload has no kind";
    free_payload(&payload);
}

TEST(IpcPayload, IsReadWholeWithTheHeadersKind) {
    SocketPeer peer;
    const ipc_header_t header{6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 5};
    peer.send(text_bytes("hello"));
    ipc_payload_t payload{nullptr, 0, 0};
    ASSERT_EQ(receive_payload(&peer.ipc, &header, &payload), SANE_STATUS_GOOD);
    EXPECT_EQ(payload.kind, IPC_PAYLOAD_IMAGE);
    EXPECT_EQ(payload.length, 5u);
    ASSERT_NE(payload.data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(payload.data), 5), "hello");
    free_payload(&payload);
    EXPECT_EQ(payload.data, nullptr);
    EXPECT_EQ(payload.kind, 0u);
    EXPECT_EQ(payload.length, 0u);
}

// Without the bound, 2^64-1 would be NO_MEM and 256 MiB + 1 would wait on the
// socket; every reply procedure reads its payload through here.
TEST(IpcPayload, AboveTheBoundIsRefusedWithoutAllocationOrReading) {
    for (uint64_t length : {IPC_MAX_PAYLOAD + 1, UINT64_MAX}) {
        SCOPED_TRACE(length);
        SocketPeer peer;
        const ipc_header_t header{6, IPC_REPLY, IPC_PAYLOAD_IMAGE, length};
        peer.send(text_bytes("marker"));
        ipc_payload_t payload{nullptr, 0, 0};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(receive_payload(&peer.ipc, &header, &payload), SANE_STATUS_IO_ERROR);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(payload.data, nullptr);
        EXPECT_EQ(peer.unread_on_backend(6), text_bytes("marker"));
        free_payload(&payload);
    }
}

// ------------------------------------------ bare requests and acknowledgements

TEST(IpcBareRequest, SendsExactlyTheTwentyHeaderBytes) {
    const struct {
        SANE_Status (*send)(ipc_t*);
        uint8_t command;
    } cases[] = {{send_close_device, 2}, {send_start_scan, 4}, {send_end_scan, 5}, {send_read_request, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.command));
        SocketPeer peer;
        ASSERT_EQ(c.send(&peer.ipc), SANE_STATUS_GOOD);
        Bytes expected(20, 0);
        expected[0] = c.command;  // the read request is 06 and sixteen zero bytes
        EXPECT_EQ(peer.receive(20), expected);
        EXPECT_EQ(recv(peer.peer_fd(), expected.data(), 1, MSG_DONTWAIT), -1) << "nothing follows the header";
    }
}

TEST(IpcBareAcknowledgement, ChecksEveryFieldAndReadsNothingBeyondTheHeader) {
    const struct {
        SANE_Status (*receive)(ipc_t*);
        uint32_t code, other_code;
    } acks[] = {{receive_close_ack, IPC_CMD_CLOSE_DEVICE, IPC_CMD_END_SCAN},
                {receive_end_ack, IPC_CMD_END_SCAN, IPC_CMD_CLOSE_DEVICE}};
    for (const auto& ack : acks) {
        const struct {
            const char* label;
            Bytes header;
            SANE_Status expected;
        } cases[] = {
            {"good", header_bytes(ack.code, IPC_REPLY, IPC_PAYLOAD_NONE, 0), SANE_STATUS_GOOD},
            {"other command", header_bytes(ack.other_code, IPC_REPLY, IPC_PAYLOAD_NONE, 0), SANE_STATUS_IO_ERROR},
            {"request direction", header_bytes(ack.code, IPC_REQUEST, IPC_PAYLOAD_NONE, 0), SANE_STATUS_IO_ERROR},
            {"xml kind", header_bytes(ack.code, IPC_REPLY, IPC_PAYLOAD_XML, 0), SANE_STATUS_IO_ERROR},
            {"with a payload", header_bytes(ack.code, IPC_REPLY, IPC_PAYLOAD_NONE, 4), SANE_STATUS_IO_ERROR},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "command " << ack.code << ", " << c.label);
            SocketPeer peer;
            peer.send(c.header);
            peer.send(text_bytes("next"));
            EXPECT_EQ(ack.receive(&peer.ipc), c.expected);
            EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
        }
    }
}

TEST(IpcBareAcknowledgement, CloseAcknowledgementOnTheWire) {
    SocketPeer peer;
    peer.send(Bytes{0x02, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(receive_close_ack(&peer.ipc), SANE_STATUS_GOOD);
}

}  // namespace
