// The frame layer: single reads and writes, whole headers and payloads, the
// header-only requests and the bare acknowledgements.
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

#include <ostream>
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

TEST(IpcSingleTransfer, ReadReportsWhatArrivedUpToTheRoom) {
    SocketPeer peer;
    peer.send(text_bytes("abcdef"));
    char buffer[4] = {};
    size_t count = sizeof buffer;
    ASSERT_EQ(ipc_read(&peer.ipc, buffer, &count), SANE_STATUS_GOOD);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    count = sizeof buffer;
    ASSERT_EQ(ipc_read(&peer.ipc, buffer, &count), SANE_STATUS_GOOD);
    EXPECT_EQ(std::string(buffer, count), "ef");
}

TEST(IpcSingleTransfer, ReadAfterThePeerClosedIsAnError) {
    SocketPeer peer;
    peer.close_peer();
    char buffer[4];
    size_t count = sizeof buffer;
    EXPECT_EQ(ipc_read(&peer.ipc, buffer, &count), SANE_STATUS_IO_ERROR);
}

TEST(IpcSingleTransfer, WriteToAGonePeerIsAnErrorNotASignal) {
    // The default disposition would end this process if the write raised SIGPIPE.
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

    sigaction(SIGPIPE, &previous, nullptr);
}

// ------------------------------------------------------------------ headers

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

TEST(IpcHeader, PeerClosingMidHeaderFailsAtOnce) {
    SocketPeer peer;
    const Bytes whole = header_bytes(6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 10);
    peer.send(Bytes(whole.begin(), whole.begin() + 7));
    peer.close_peer();
    ipc_header_t header{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive_header(&peer.ipc, &header), SANE_STATUS_IO_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// ----------------------------------------------------------------- payloads

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

TEST(IpcPayload, PeerClosingMidPayloadFailsAtOnce) {
    SocketPeer peer;
    const ipc_header_t header{6, IPC_REPLY, IPC_PAYLOAD_IMAGE, 100};
    peer.send(Bytes(40, 0xAB));
    peer.close_peer();
    ipc_payload_t payload{nullptr, 0, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive_payload(&peer.ipc, &header, &payload), SANE_STATUS_IO_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(payload.kind, 0u) << "an incomplete payload has no kind";
    free_payload(&payload);
}

class IpcPayloadTooLarge : public ::testing::TestWithParam<uint64_t> {};

TEST_P(IpcPayloadTooLarge, IsRefusedWithoutAllocationOrReading) {
    SocketPeer peer;
    const ipc_header_t header{6, IPC_REPLY, IPC_PAYLOAD_IMAGE, GetParam()};
    peer.send(text_bytes("marker"));
    ipc_payload_t payload{nullptr, 0, 0};
    // Without the bound, 2^64-1 would be NO_MEM and 256 MiB + 1 would wait on the socket.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive_payload(&peer.ipc, &header, &payload), SANE_STATUS_IO_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(payload.data, nullptr);
    EXPECT_EQ(peer.unread_on_backend(6), text_bytes("marker"));
    free_payload(&payload);
}

INSTANTIATE_TEST_SUITE_P(Lengths, IpcPayloadTooLarge,
                         ::testing::Values(IPC_MAX_PAYLOAD + 1, UINT64_MAX));

// ------------------------------------------------- requests without payload

struct BareRequestCase {
    const char* name;
    SANE_Status (*send)(ipc_t*);
    uint32_t command;
};

std::ostream& operator<<(std::ostream& out, const BareRequestCase& c) { return out << c.name; }

class IpcBareRequest : public ::testing::TestWithParam<BareRequestCase> {};

TEST_P(IpcBareRequest, SendsExactlyTheTwentyHeaderBytes) {
    SocketPeer peer;
    ASSERT_EQ(GetParam().send(&peer.ipc), SANE_STATUS_GOOD);
    Bytes expected(20, 0);
    expected[0] = static_cast<uint8_t>(GetParam().command);
    EXPECT_EQ(peer.receive(20), expected);
    // Nothing follows the header.
    EXPECT_EQ(recv(peer.peer_fd(), expected.data(), 1, MSG_DONTWAIT), -1);
}

INSTANTIATE_TEST_SUITE_P(Commands, IpcBareRequest,
                         ::testing::Values(BareRequestCase{"close", send_close_device, 2},
                                           BareRequestCase{"start", send_start_scan, 4},
                                           BareRequestCase{"end", send_end_scan, 5},
                                           BareRequestCase{"read", send_read_request, 6}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IpcBareRequestWire, ReadRequestIsSixThenSixteenZeroBytes) {
    SocketPeer peer;
    ASSERT_EQ(send_read_request(&peer.ipc), SANE_STATUS_GOOD);
    const Bytes expected{0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(peer.receive(20), expected);
}

// ------------------------------------------------------ bare acknowledgements

struct AckCase {
    const char* name;
    SANE_Status (*receive)(ipc_t*);
    Bytes header;
    SANE_Status expected;
};

std::ostream& operator<<(std::ostream& out, const AckCase& c) { return out << c.name; }

class IpcBareAcknowledgement : public ::testing::TestWithParam<AckCase> {};

TEST_P(IpcBareAcknowledgement, ChecksEveryField) {
    SocketPeer peer;
    peer.send(GetParam().header);
    peer.send(text_bytes("next"));
    EXPECT_EQ(GetParam().receive(&peer.ipc), GetParam().expected);
    // Nothing beyond the header is read, whatever its length said.
    EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, IpcBareAcknowledgement,
    ::testing::Values(
        AckCase{"close_ok", receive_close_ack, header_bytes(2, IPC_REPLY, IPC_PAYLOAD_NONE, 0), SANE_STATUS_GOOD},
        AckCase{"end_ok", receive_end_ack, header_bytes(5, IPC_REPLY, IPC_PAYLOAD_NONE, 0), SANE_STATUS_GOOD},
        AckCase{"close_wire_bytes", receive_close_ack,
                Bytes{0x02, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SANE_STATUS_GOOD},
        AckCase{"close_with_end_code", receive_close_ack, header_bytes(5, IPC_REPLY, IPC_PAYLOAD_NONE, 0),
                SANE_STATUS_IO_ERROR},
        AckCase{"end_with_close_code", receive_end_ack, header_bytes(2, IPC_REPLY, IPC_PAYLOAD_NONE, 0),
                SANE_STATUS_IO_ERROR},
        AckCase{"close_request_direction", receive_close_ack, header_bytes(2, IPC_REQUEST, IPC_PAYLOAD_NONE, 0),
                SANE_STATUS_IO_ERROR},
        AckCase{"close_xml_kind", receive_close_ack, header_bytes(2, IPC_REPLY, IPC_PAYLOAD_XML, 0),
                SANE_STATUS_IO_ERROR},
        AckCase{"end_image_kind", receive_end_ack, header_bytes(5, IPC_REPLY, IPC_PAYLOAD_IMAGE, 0),
                SANE_STATUS_IO_ERROR},
        AckCase{"close_with_length", receive_close_ack, header_bytes(2, IPC_REPLY, IPC_PAYLOAD_NONE, 4),
                SANE_STATUS_IO_ERROR},
        AckCase{"end_with_length", receive_end_ack, header_bytes(5, IPC_REPLY, IPC_PAYLOAD_NONE, 1),
                SANE_STATUS_IO_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpcBareAcknowledgementLoss, PeerClosingBeforeTheAckIsAnError) {
    SocketPeer peer;
    peer.close_peer();
    EXPECT_EQ(receive_close_ack(&peer.ipc), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(receive_end_ack(&peer.ipc), SANE_STATUS_IO_ERROR);
}

}  // namespace
