// Discovery and open device: request documents and reply reading. Header
// checks and parse failures of the replies are those of the shared reply
// procedure (ipc_xml_message_test.cpp).
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

using namespace ipc_test;

namespace {


// -------------------------------------------------------------- discovery

TEST(IpcDiscoveryRequest, ListsEveryNamedHostInOrder) {
    const struct {
        std::vector<std::string> hosts;
        std::string document;
    } cases[] = {
        {{}, "<device_discovery/>"},
        {{"", "a", "b"},
         "<device_discovery><discovery_info host_name=\"a\"/><discovery_info host_name=\"b\"/></device_discovery>"},
        // Neither de-duplicated nor validated.
        {{"x&y", "x&y"},
         "<device_discovery><discovery_info host_name=\"x&amp;y\"/><discovery_info host_name=\"x&amp;y\"/>"
         "</device_discovery>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        SocketPeer peer;
        std::vector<DiscoveryInfo> hosts;
        for (const auto& host : c.hosts) hosts.push_back({host});
        ASSERT_EQ(send_discovery(&peer.ipc, hosts), SANE_STATUS_GOOD);
        peer.expect_xml_request(IPC_CMD_DISCOVERY, c.document);
    }
}

TEST(IpcDevicesReply, AppendsEveryDeviceElementInDocumentOrder) {
    SocketPeer peer;
    peer.send(reply_frame(
        IPC_CMD_DISCOVERY, IPC_PAYLOAD_XML,
        "<devices>text<!-- comment -->"
        "<device name=\"n1\" vendor=\"v1\" model=\"m1\" type=\"t1\" host_name=\"h1\" vendor_id=\"vi1\" "
        "product_id=\"pi1\" usb_serial_id=\"us1\" deviceName=\"d1\"><device name=\"nested\"/></device>"
        "<printer name=\"not a device\"/>"
        "<device name=\"n2\"/>"
        "<device name=\"n1\" model=\"m3\"/>"
        "</devices>"));
    std::vector<DeviceInfo> devices(1);
    devices[0].name = "already there";
    ASSERT_EQ(receive_devices(&peer.ipc, devices), SANE_STATUS_GOOD);
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].name, "already there");
    const DeviceInfo& first = devices[1];
    EXPECT_EQ((std::vector<std::string>{first.name, first.vendor, first.model, first.type, first.host_name,
                                        first.vendor_id, first.product_id, first.usb_serial_id, first.deviceName}),
              (std::vector<std::string>{"n1", "v1", "m1", "t1", "h1", "vi1", "pi1", "us1", "d1"}));
    EXPECT_EQ(devices[2].name, "n2");
    EXPECT_EQ(devices[2].vendor, "") << "a missing attribute reads as empty";
    EXPECT_EQ(devices[3].name, "n1") << "devices are not de-duplicated";
    EXPECT_EQ(devices[3].model, "m3");
}

TEST(IpcDevicesReply, AppendsNothingWithoutDevicesOrWhenTheReplyFails) {
    const struct {
        const char* body;
        SANE_Status expected;
    } cases[] = {
        {"<devices/>", SANE_STATUS_GOOD},
        {"<device_list><device name=\"x\"/></device_list>", SANE_STATUS_GOOD},
        // Parsed whole before the first record is appended.
        {"<devices><device name=\"x\"/>", SANE_STATUS_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        SocketPeer peer;
        peer.send(reply_frame(IPC_CMD_DISCOVERY, IPC_PAYLOAD_XML, c.body));
        std::vector<DeviceInfo> devices(2);
        EXPECT_EQ(receive_devices(&peer.ipc, devices), c.expected);
        EXPECT_EQ(devices.size(), 2u);
    }
}

// ------------------------------------------------------------ open device

TEST(IpcOpenRequest, SendsTheSixIdentityAttributesInOrderEmptyOnesToo) {
    const struct {
        DeviceInfo info;
        const char* attributes;
    } cases[] = {
        {{"name", "vendor", "MF-5300", "type", "office", "0x2d1a", "0x5300", "KV-1", "mfp"},
         "model=\"MF-5300\" host_name=\"office\" vendor_id=\"0x2d1a\" product_id=\"0x5300\" usb_serial_id=\"KV-1\" "
         "deviceName=\"mfp\""},
        {{"n", "v", "M", "t", "", "", "", "", ""},
         "model=\"M\" host_name=\"\" vendor_id=\"\" product_id=\"\" usb_serial_id=\"\" deviceName=\"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        SocketPeer peer;
        ASSERT_EQ(send_open_device(&peer.ipc, &c.info), SANE_STATUS_GOOD);
        peer.expect_xml_request(IPC_CMD_OPEN_DEVICE, std::string("<device ") + c.attributes + "/>");
    }
}

DeviceCapability receive(const std::string& body, DeviceCapability capability = {}) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML, body));
    EXPECT_EQ(receive_capability(&peer.ipc, &capability), SANE_STATUS_GOOD);
    return capability;
}

std::vector<uint32_t> sizes(const DeviceCapability& c) {
    return {c.basic_resolution,   c.flatbed_min_width, c.flatbed_max_width,          c.flatbed_min_height,
            c.flatbed_max_height, c.adf_min_Width,     c.adf_max_Width,              c.adf_min_height,
            c.adf_max_height,     c.flatbed_original_alignment, c.adf_original_alignment, c.black_text_support};
}

TEST(IpcCapabilityReply, ReadsTheTwelveSizes) {
    const DeviceCapability capability =
        receive("<device_capability basic_resolution=\"600\" flatbed_min_width=\"1\" flatbed_max_width=\"2\" "
                "flatbed_min_height=\"3\" flatbed_max_height=\"4\" adf_min_Width=\"5\" adf_max_Width=\"6\" "
                "adf_min_height=\"7\" adf_max_height=\"8\" flatbed_original_alignment=\"9\" "
                "adf_original_alignment=\"10\" black_text_support=\"11\"/>");
    EXPECT_EQ(sizes(capability), (std::vector<uint32_t>{600, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(IpcCapabilityReply, FeederWidthsNeedTheCapitalW) {
    const DeviceCapability capability = receive(
        "<device_capability adf_min_width=\"64\" adf_max_width=\"5100\" adf_min_height=\"64\" adf_max_height=\"8400\"/>");
    // A missing attribute reads as 0.
    EXPECT_EQ(sizes(capability), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0, 64, 8400, 0, 0, 0}));
}

TEST(IpcCapabilityReply, KeepsKnownUnitNamesInOrder) {
    const struct {
        std::string children;
        std::vector<ScannerUnit> expected;
    } cases[] = {
        {"<scanner_units name=\"adf\"/><scanner_units name=\"flatbed\"/>"
         "<scanner_units name=\"adf_duplex\"/><scanner_units name=\"adf\"/>",
         {SCANNER_UNIT_ADF, SCANNER_UNIT_FLATBED, SCANNER_UNIT_ADF_DUPLEX, SCANNER_UNIT_ADF}},
        {"<scanner_units name=\"FLATBED\"/><scanner_units name=\"adf\"/>", {SCANNER_UNIT_ADF}},
        {"<scanner_units/><scanner_unit name=\"adf\"/> text <scanner_units name=\" adf\"/>", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.children);
        const DeviceCapability capability =
            receive("<device_capability basic_resolution=\"300\">" + c.children + "</device_capability>");
        EXPECT_EQ(capability.scanner_units, c.expected);
        EXPECT_EQ(capability.basic_resolution, 300u);
    }
}

TEST(IpcCapabilityReply, OtherRootLeavesTheRecordAsHandedIn) {
    DeviceCapability handed_in;
    handed_in.basic_resolution = 77;
    handed_in.scanner_units = {SCANNER_UNIT_ADF_DUPLEX};
    const DeviceCapability capability =
        receive("<capability basic_resolution=\"600\"><scanner_units name=\"adf\"/></capability>", handed_in);
    EXPECT_EQ(capability.basic_resolution, 77u);
    EXPECT_EQ(capability.scanner_units, std::vector<ScannerUnit>{SCANNER_UNIT_ADF_DUPLEX});
}

}  // namespace
