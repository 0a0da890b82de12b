// Discovery and open device: request documents and reply reading.
#include "ipc/ipc.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

#include <ostream>

using namespace ipc_test;

namespace {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// -------------------------------------------------------------- discovery

struct DiscoveryCase {
    const char* name;
    std::vector<std::string> hosts;
    std::string document;
};

std::ostream& operator<<(std::ostream& out, const DiscoveryCase& c) { return out << c.name; }

class IpcDiscoveryRequest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(IpcDiscoveryRequest, ListsEveryNamedHostInOrder) {
    SocketPeer peer;
    std::vector<DiscoveryInfo> hosts;
    for (const auto& host : GetParam().hosts) hosts.push_back({host});
    ASSERT_EQ(send_discovery(&peer.ipc, hosts), SANE_STATUS_GOOD);
    auto request = peer.receive_request();
    EXPECT_EQ(request.header.command, IPC_CMD_DISCOVERY);
    EXPECT_EQ(request.header.direction, IPC_REQUEST);
    EXPECT_EQ(request.header.kind, IPC_PAYLOAD_XML);
    EXPECT_EQ(request.payload, kDeclaration + GetParam().document + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, IpcDiscoveryRequest,
    ::testing::Values(
        DiscoveryCase{"none", {}, "<device_discovery/>"},
        DiscoveryCase{"only_empty_names", {"", ""}, "<device_discovery/>"},
        DiscoveryCase{"first_empty",
                      {"", "a", "b"},
                      "<device_discovery><discovery_info host_name=\"a\"/><discovery_info host_name=\"b\"/>"
                      "</device_discovery>"},
        DiscoveryCase{"duplicates_kept_and_escaped",
                      {"x&y", "x&y"},
                      "<device_discovery><discovery_info host_name=\"x&amp;y\"/>"
                      "<discovery_info host_name=\"x&amp;y\"/></device_discovery>"}),
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(first.name, "n1");
    EXPECT_EQ(first.vendor, "v1");
    EXPECT_EQ(first.model, "m1");
    EXPECT_EQ(first.type, "t1");
    EXPECT_EQ(first.host_name, "h1");
    EXPECT_EQ(first.vendor_id, "vi1");
    EXPECT_EQ(first.product_id, "pi1");
    EXPECT_EQ(first.usb_serial_id, "us1");
    EXPECT_EQ(first.deviceName, "d1");
    EXPECT_EQ(devices[2].name, "n2");
    EXPECT_EQ(devices[2].vendor, "") << "a missing attribute reads as empty";
    EXPECT_EQ(devices[2].deviceName, "");
    EXPECT_EQ(devices[3].name, "n1") << "devices are not de-duplicated";
    EXPECT_EQ(devices[3].model, "m3");
}

struct EmptyDevicesCase {
    const char* name;
    std::string body;
    SANE_Status expected;
};

std::ostream& operator<<(std::ostream& out, const EmptyDevicesCase& c) { return out << c.name; }

class IpcDevicesReplyEmpty : public ::testing::TestWithParam<EmptyDevicesCase> {};

TEST_P(IpcDevicesReplyEmpty, AppendsNothing) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_DISCOVERY, IPC_PAYLOAD_XML, GetParam().body));
    std::vector<DeviceInfo> devices(2);
    EXPECT_EQ(receive_devices(&peer.ipc, devices), GetParam().expected);
    EXPECT_EQ(devices.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, IpcDevicesReplyEmpty,
    ::testing::Values(EmptyDevicesCase{"no_children", "<devices/>", SANE_STATUS_GOOD},
                      EmptyDevicesCase{"other_root", "<device_list><device name=\"x\"/></device_list>",
                                       SANE_STATUS_GOOD},
                      EmptyDevicesCase{"cut_document", "<devices><device name=\"x\"/>",
                                       SANE_STATUS_ACCESS_DENIED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpcDevicesReply, ReplyToAnotherCommandIsAnIoError) {
    SocketPeer peer;
    const std::string body = "<devices><device name=\"x\"/></devices>";
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML, body));
    std::vector<DeviceInfo> devices;
    EXPECT_EQ(receive_devices(&peer.ipc, devices), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(peer.unread_on_backend(body.size()), text_bytes(body));
}

// ------------------------------------------------------------ open device

TEST(IpcOpenRequest, SendsTheSixIdentityAttributesInOrder) {
    SocketPeer peer;
    DeviceInfo info{"name", "vendor", "MF-5300", "type", "office", "0x2d1a", "0x5300", "KV-1", "mfp"};
    ASSERT_EQ(send_open_device(&peer.ipc, &info), SANE_STATUS_GOOD);
    auto request = peer.receive_request();
    EXPECT_EQ(request.header.command, IPC_CMD_OPEN_DEVICE);
    EXPECT_EQ(request.header.kind, IPC_PAYLOAD_XML);
    EXPECT_EQ(request.payload, kDeclaration +
                                   "<device model=\"MF-5300\" host_name=\"office\" vendor_id=\"0x2d1a\" "
                                   "product_id=\"0x5300\" usb_serial_id=\"KV-1\" deviceName=\"mfp\"/>\n");
}

TEST(IpcOpenRequest, EmptyFieldsStillCarryTheirAttributes) {
    SocketPeer peer;
    DeviceInfo info{"n", "v", "M", "t", "", "", "", "", ""};
    ASSERT_EQ(send_open_device(&peer.ipc, &info), SANE_STATUS_GOOD);
    auto request = peer.receive_request();
    EXPECT_EQ(request.payload, kDeclaration +
                                   "<device model=\"M\" host_name=\"\" vendor_id=\"\" product_id=\"\" "
                                   "usb_serial_id=\"\" deviceName=\"\"/>\n");
}

TEST(IpcCapabilityReply, ReadsTheTwelveSizesAndTheUnits) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML,
                          "<device_capability basic_resolution=\"600\" flatbed_min_width=\"1\" "
                          "flatbed_max_width=\"2\" flatbed_min_height=\"3\" flatbed_max_height=\"4\" "
                          "adf_min_Width=\"5\" adf_max_Width=\"6\" adf_min_height=\"7\" adf_max_height=\"8\" "
                          "flatbed_original_alignment=\"9\" adf_original_alignment=\"10\" "
                          "black_text_support=\"11\">"
                          "<scanner_units name=\"flatbed\"/></device_capability>"));
    DeviceCapability capability;
    ASSERT_EQ(receive_capability(&peer.ipc, &capability), SANE_STATUS_GOOD);
    EXPECT_EQ(capability.basic_resolution, 600u);
    EXPECT_EQ(capability.flatbed_min_width, 1u);
    EXPECT_EQ(capability.flatbed_max_width, 2u);
    EXPECT_EQ(capability.flatbed_min_height, 3u);
    EXPECT_EQ(capability.flatbed_max_height, 4u);
    EXPECT_EQ(capability.adf_min_Width, 5u);
    EXPECT_EQ(capability.adf_max_Width, 6u);
    EXPECT_EQ(capability.adf_min_height, 7u);
    EXPECT_EQ(capability.adf_max_height, 8u);
    EXPECT_EQ(capability.flatbed_original_alignment, 9u);
    EXPECT_EQ(capability.adf_original_alignment, 10u);
    EXPECT_EQ(capability.black_text_support, 11u);
    EXPECT_EQ(capability.scanner_units, std::vector<ScannerUnit>{SCANNER_UNIT_FLATBED});
}

TEST(IpcCapabilityReply, FeederWidthsNeedTheCapitalW) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML,
                          "<device_capability adf_min_width=\"64\" adf_max_width=\"5100\" "
                          "adf_min_height=\"64\" adf_max_height=\"8400\"/>"));
    DeviceCapability capability;
    ASSERT_EQ(receive_capability(&peer.ipc, &capability), SANE_STATUS_GOOD);
    EXPECT_EQ(capability.adf_min_Width, 0u);
    EXPECT_EQ(capability.adf_max_Width, 0u);
    EXPECT_EQ(capability.adf_min_height, 64u);
    EXPECT_EQ(capability.adf_max_height, 8400u);
    EXPECT_EQ(capability.basic_resolution, 0u) << "a missing attribute reads as 0";
}

struct UnitsCase {
    const char* name;
    std::string children;
    std::vector<ScannerUnit> expected;
};

std::ostream& operator<<(std::ostream& out, const UnitsCase& c) { return out << c.name; }

class IpcCapabilityUnits : public ::testing::TestWithParam<UnitsCase> {};

TEST_P(IpcCapabilityUnits, KeepsKnownNamesInOrder) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML,
                          "<device_capability basic_resolution=\"300\">" + GetParam().children +
                              "</device_capability>"));
    DeviceCapability capability;
    ASSERT_EQ(receive_capability(&peer.ipc, &capability), SANE_STATUS_GOOD);
    EXPECT_EQ(capability.scanner_units, GetParam().expected);
    EXPECT_EQ(capability.basic_resolution, 300u);
}

INSTANTIATE_TEST_SUITE_P(
    Children, IpcCapabilityUnits,
    ::testing::Values(
        UnitsCase{"repeated_and_unordered",
                  "<scanner_units name=\"adf\"/><scanner_units name=\"flatbed\"/>"
                  "<scanner_units name=\"adf_duplex\"/><scanner_units name=\"adf\"/>",
                  {SCANNER_UNIT_ADF, SCANNER_UNIT_FLATBED, SCANNER_UNIT_ADF_DUPLEX, SCANNER_UNIT_ADF}},
        UnitsCase{"capitals_skipped",
                  "<scanner_units name=\"FLATBED\"/><scanner_units name=\"adf\"/>",
                  {SCANNER_UNIT_ADF}},
        UnitsCase{"unnamed_and_other_elements_skipped",
                  "<scanner_units/><scanner_unit name=\"adf\"/> text <scanner_units name=\" adf\"/>",
                  {}},
        UnitsCase{"none", "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpcCapabilityReply, OtherRootLeavesTheRecordAsHandedIn) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML,
                          "<capability basic_resolution=\"600\"><scanner_units name=\"adf\"/></capability>"));
    DeviceCapability capability;
    capability.basic_resolution = 77;
    capability.scanner_units = {SCANNER_UNIT_ADF_DUPLEX};
    ASSERT_EQ(receive_capability(&peer.ipc, &capability), SANE_STATUS_GOOD);
    EXPECT_EQ(capability.basic_resolution, 77u);
    EXPECT_EQ(capability.scanner_units, std::vector<ScannerUnit>{SCANNER_UNIT_ADF_DUPLEX});
}

TEST(IpcCapabilityReply, NotWellFormedIsAccessDenied) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_OPEN_DEVICE, IPC_PAYLOAD_XML, "<device_capability basic_resolution=600/>"));
    DeviceCapability capability;
    EXPECT_EQ(receive_capability(&peer.ipc, &capability), SANE_STATUS_ACCESS_DENIED);
    EXPECT_EQ(capability.basic_resolution, 0u);
}

}  // namespace
