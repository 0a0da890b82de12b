// Scan parameter and start: request document and the two XML replies.
// Header checks and parse failures of the replies are those of the shared
// reply procedure (ipc_xml_message_test.cpp).
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

using namespace ipc_test;

namespace {


TEST(IpcScanParameterRequest, EachFieldGoesToItsOwnAttributeInOrder) {
    const struct {
        ScanParameter parameter;
        const char* attributes;
    } cases[] = {
        {{}, "original_placement=\"0\" scan_side=\"0\" color_mode=\"0\" input_resolution=\"0\" "
             "input_position_x=\"0\" input_position_y=\"0\" input_width=\"0\" input_height=\"0\" "
             "output_resolution=\"0\" output_width=\"0\" output_height=\"0\" black_text_mode=\"0\""},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 4294967295u},
         "original_placement=\"1\" scan_side=\"2\" color_mode=\"3\" input_resolution=\"4\" "
         "input_position_x=\"5\" input_position_y=\"6\" input_width=\"7\" input_height=\"8\" "
         "output_resolution=\"9\" output_width=\"10\" output_height=\"11\" black_text_mode=\"4294967295\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        SocketPeer peer;
        ASSERT_EQ(send_scan_parameter(&peer.ipc, &c.parameter), SANE_STATUS_GOOD);
        peer.expect_xml_request(IPC_CMD_SCAN_PARAMETER, std::string("<scan_parameter ") + c.attributes + "/>");
    }
}

std::vector<uint32_t> fields(const ImageInfo& i) {
    return {i.color_space, i.resolution, i.width, i.height, i.bits_per_component, i.bits_per_pixel, i.bytes_per_row};
}

TEST(IpcImageInfoReply, ReadsTheSevenFieldsAndZeroForAMissingOne) {
    const std::string all = "color_space=\"2\" resolution=\"300\" width=\"2480\" height=\"3508\" "
                            "bits_per_component=\"8\" bits_per_pixel=\"24\" bytes_per_row=\"7440\"";
    const std::string without_bits_per_pixel = "color_space=\"1\" resolution=\"150\" width=\"10\" height=\"20\" "
                                               "bits_per_component=\"16\" bytes_per_row=\"30\"";
    const struct {
        std::string attributes;
        std::vector<uint32_t> expected;
    } cases[] = {
        {all, {2, 300, 2480, 3508, 8, 24, 7440}},
        {without_bits_per_pixel, {1, 150, 10, 20, 16, 0, 30}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        SocketPeer peer;
        peer.send(reply_frame(IPC_CMD_SCAN_PARAMETER, IPC_PAYLOAD_XML, "<image_info " + c.attributes + "/>"));
        ImageInfo image{9, 9, 9, 9, 9, 9, 9};
        ASSERT_EQ(receive_image_info(&peer.ipc, &image), SANE_STATUS_GOOD);
        EXPECT_EQ(fields(image), c.expected);
    }
}

TEST(IpcImageInfoReply, OtherRootLeavesTheRecordAsItWas) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_SCAN_PARAMETER, IPC_PAYLOAD_XML, "<status width=\"1\"/>"));
    ImageInfo image{1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(receive_image_info(&peer.ipc, &image), SANE_STATUS_GOOD);
    EXPECT_EQ(fields(image), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(IpcScanStatusReply, ReadsTheAnswerOrLeavesThePreset) {
    const struct {
        const char* body;
        int32_t scan_status;  // after a preset of 4
    } cases[] = {
        {"<status scan_status=\"0\"/>", 0},
        {"<status scan_status=\"-7\"/>", -7},  // signed
        {"<status read_status=\"2\"/>", 0},    // no scan_status: taken as started
        {"<state scan_status=\"0\"/>", 4},     // another root: the preset stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        SocketPeer peer;
        peer.send(reply_frame(IPC_CMD_START_SCAN, IPC_PAYLOAD_XML, c.body));
        int32_t scan_status = 4;
        EXPECT_EQ(receive_scan_status(&peer.ipc, &scan_status), SANE_STATUS_GOOD);
        EXPECT_EQ(scan_status, c.scan_status);
    }
}

}  // namespace
