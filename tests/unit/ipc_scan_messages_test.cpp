// Scan parameter and start: request document and the two XML replies.
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

#include <ostream>

using namespace ipc_test;

namespace {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

TEST(IpcScanParameterRequest, AllZeroCarriesTwelveZeroAttributesInOrder) {
    SocketPeer peer;
    ScanParameter parameter{};
    ASSERT_EQ(send_scan_parameter(&peer.ipc, &parameter), SANE_STATUS_GOOD);
    auto request = peer.receive_request();
    EXPECT_EQ(request.header.command, IPC_CMD_SCAN_PARAMETER);
    EXPECT_EQ(request.header.direction, IPC_REQUEST);
    EXPECT_EQ(request.header.kind, IPC_PAYLOAD_XML);
    EXPECT_EQ(uint64_t{request.header.length}, request.payload.size());
    EXPECT_EQ(request.payload,
              kDeclaration +
                  "<scan_parameter original_placement=\"0\" scan_side=\"0\" color_mode=\"0\" "
                  "input_resolution=\"0\" input_position_x=\"0\" input_position_y=\"0\" input_width=\"0\" "
                  "input_height=\"0\" output_resolution=\"0\" output_width=\"0\" output_height=\"0\" "
                  "black_text_mode=\"0\"/>\n");
}

TEST(IpcScanParameterRequest, EachFieldGoesToItsOwnAttribute) {
    SocketPeer peer;
    ScanParameter parameter{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 4294967295u};
    ASSERT_EQ(send_scan_parameter(&peer.ipc, &parameter), SANE_STATUS_GOOD);
    auto request = peer.receive_request();
    EXPECT_EQ(request.payload,
              kDeclaration +
                  "<scan_parameter original_placement=\"1\" scan_side=\"2\" color_mode=\"3\" "
                  "input_resolution=\"4\" input_position_x=\"5\" input_position_y=\"6\" input_width=\"7\" "
                  "input_height=\"8\" output_resolution=\"9\" output_width=\"10\" output_height=\"11\" "
                  "black_text_mode=\"4294967295\"/>\n");
}

TEST(IpcImageInfoReply, ReadsTheSevenFields) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_SCAN_PARAMETER, IPC_PAYLOAD_XML,
                          "<image_info color_space=\"2\" resolution=\"300\" width=\"2480\" height=\"3508\" "
                          "bits_per_component=\"8\" bits_per_pixel=\"24\" bytes_per_row=\"7440\"/>"));
    ImageInfo image{};
    ASSERT_EQ(receive_image_info(&peer.ipc, &image), SANE_STATUS_GOOD);
    EXPECT_EQ(image.color_space, 2u);
    EXPECT_EQ(image.resolution, 300u);
    EXPECT_EQ(image.width, 2480u);
    EXPECT_EQ(image.height, 3508u);
    EXPECT_EQ(image.bits_per_component, 8u);
    EXPECT_EQ(image.bits_per_pixel, 24u);
    EXPECT_EQ(image.bytes_per_row, 7440u);
}

TEST(IpcImageInfoReply, MissingAttributeReadsAsZero) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_SCAN_PARAMETER, IPC_PAYLOAD_XML,
                          "<image_info color_space=\"1\" resolution=\"150\" width=\"10\" height=\"20\" "
                          "bits_per_component=\"8\" bytes_per_row=\"10\"/>"));
    ImageInfo image{9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(receive_image_info(&peer.ipc, &image), SANE_STATUS_GOOD);
    EXPECT_EQ(image.bits_per_pixel, 0u);
    EXPECT_EQ(image.color_space, 1u);
    EXPECT_EQ(image.resolution, 150u);
    EXPECT_EQ(image.width, 10u);
    EXPECT_EQ(image.height, 20u);
    EXPECT_EQ(image.bits_per_component, 8u);
    EXPECT_EQ(image.bytes_per_row, 10u);
}

TEST(IpcImageInfoReply, OtherRootLeavesTheRecordAsItWas) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_SCAN_PARAMETER, IPC_PAYLOAD_XML, "<status width=\"1\"/>"));
    ImageInfo image{1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(receive_image_info(&peer.ipc, &image), SANE_STATUS_GOOD);
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.bytes_per_row, 7u);
}

TEST(IpcImageInfoReply, ReplyToTheStartRequestIsAnIoError) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_START_SCAN, IPC_PAYLOAD_XML, "<image_info width=\"1\"/>"));
    ImageInfo image{};
    EXPECT_EQ(receive_image_info(&peer.ipc, &image), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(image.width, 0u);
}

struct ScanStatusCase {
    const char* name;
    std::string body;
    SANE_Status expected;
    int32_t scan_status;  // after a preset of 4
};

std::ostream& operator<<(std::ostream& out, const ScanStatusCase& c) { return out << c.name; }

class IpcScanStatusReply : public ::testing::TestWithParam<ScanStatusCase> {};

TEST_P(IpcScanStatusReply, ReadsTheAnswer) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_START_SCAN, IPC_PAYLOAD_XML, GetParam().body));
    int32_t scan_status = 4;
    EXPECT_EQ(receive_scan_status(&peer.ipc, &scan_status), GetParam().expected);
    EXPECT_EQ(scan_status, GetParam().scan_status);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, IpcScanStatusReply,
    ::testing::Values(ScanStatusCase{"started", "<status scan_status=\"0\"/>", SANE_STATUS_GOOD, 0},
                      ScanStatusCase{"jammed", "<status scan_status=\"3\"/>", SANE_STATUS_GOOD, 3},
                      ScanStatusCase{"negative", "<status scan_status=\"-7\"/>", SANE_STATUS_GOOD, -7},
                      ScanStatusCase{"attribute_missing", "<status read_status=\"2\"/>", SANE_STATUS_GOOD, 0},
                      ScanStatusCase{"other_root", "<state scan_status=\"0\"/>", SANE_STATUS_GOOD, 4},
                      ScanStatusCase{"not_well_formed", "<status scan_status=\"0\">", SANE_STATUS_ACCESS_DENIED,
                                     4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
