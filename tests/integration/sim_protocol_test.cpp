// The simulator's default behaviour, seen from an independent client:
// discovery, open, close, scan parameters, and what jobs do with pieces,
// sheets and geometry. Whole pages through the backend are checked there.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kelvra_test;

namespace {

constexpr uint32_t reply_direction = 1;

SimXml reply_document(const SimFrame& frame) {
    SimXml doc;
    EXPECT_EQ(1u, frame.kind);
    EXPECT_EQ(frame.payload.size(), frame.length);
    EXPECT_TRUE(parse_sim_xml(frame.payload, doc)) << frame.payload;
    return doc;
}

std::vector<std::string> names_of(const SimXml& devices) {
    std::vector<std::string> names;
    for (const SimXml& d : devices.children) names.push_back(d["name"]);
    return names;
}

// ------------------------------------------------------------------ discovery

struct DiscoveryCase {
    const char* label;
    std::vector<std::string> hosts;
    std::vector<std::string> expected;
};

class SimDiscovery : public testing::TestWithParam<DiscoveryCase> {};

const std::vector<std::string> usb_devices{"fb-a4", "mfp-adf", "duplex-legal"};
const std::vector<std::string> all_devices{"fb-a4", "mfp-adf", "duplex-legal", "net-office"};

// Host filtering as such is checked through the backend's configuration file.
const DiscoveryCase discovery_cases[] = {
    {"host_named_twice", {"office-scanner.local", "other", "office-scanner.local"}, all_devices},
    {"host_differs_in_case", {"OFFICE-scanner.local"}, usb_devices},
};

TEST_P(SimDiscovery, ListsUsbDevicesAndTheDevicesOfNamedHosts) {
    const DiscoveryCase& c = GetParam();
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(0, sim_discovery_request(c.hosts), reply));
    EXPECT_EQ(0u, reply.command);
    EXPECT_EQ(reply_direction, reply.direction);
    const SimXml devices = reply_document(reply);
    EXPECT_EQ("devices", devices.name);
    EXPECT_EQ(c.expected, names_of(devices));
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimDiscovery, testing::ValuesIn(discovery_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// ----------------------------------------------------------------- open/close

std::vector<std::string> units_of(const SimXml& capability) {
    std::vector<std::string> units;
    for (const SimXml& child : capability.children) {
        EXPECT_EQ("scanner_units", child.name);
        units.push_back(child["name"]);
    }
    return units;
}

// Their sizes reach the backend's options and frame parameters, checked there.
TEST(SimOpen, BuiltInDevicesReportTheirUnitsInOrder) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"fb-a4", {"flatbed"}},
        {"mfp-adf", {"flatbed", "adf"}},
        {"duplex-legal", {"flatbed", "adf", "adf_duplex"}},
        {"net-office", {"flatbed", "adf"}},
    };
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    for (const auto& [device, units] : cases) {
        SCOPED_TRACE(device);
        SimFrame reply;
        ASSERT_TRUE(sim.exchange(1, sim_open_request(sim_builtin_device(device)), reply));
        EXPECT_EQ(1u, reply.command);
        EXPECT_EQ(reply_direction, reply.direction);
        const SimXml doc = reply_document(reply);
        EXPECT_EQ("device_capability", doc.name);
        EXPECT_EQ(12u, doc.attributes.size());
        EXPECT_EQ(units, units_of(doc));
    }
}

TEST(SimOpen, ScenarioDeviceReportsItsOwnValues) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario>
        <device name="t:x" model="X1" deviceName="x" host="lab" basic_resolution="300"
                flatbed="10 20 30 40" adf="1 2 3 4" units="adf_duplex adf" flatbed_original_alignment="1"
                adf_original_alignment="2" black_text_support="1"/>
    </scenario>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request({"X1", "lab", "", "", "", "x"}), reply));
    const SimXml doc = reply_document(reply);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"basic_resolution", "300"}, {"flatbed_min_width", "10"}, {"flatbed_max_width", "20"},
        {"flatbed_min_height", "30"}, {"flatbed_max_height", "40"}, {"adf_min_Width", "1"},
        {"adf_max_Width", "2"}, {"adf_min_height", "3"}, {"adf_max_height", "4"},
        {"flatbed_original_alignment", "1"}, {"adf_original_alignment", "2"}, {"black_text_support", "1"}};
    EXPECT_EQ(expected, doc.attributes);
    EXPECT_EQ((std::vector<std::string>{"adf_duplex", "adf"}), units_of(doc));
}

struct UnknownDeviceCase {
    const char* label;
    SimDeviceId id;
};

class SimOpenUnknown : public testing::TestWithParam<UnknownDeviceCase> {};

const UnknownDeviceCase unknown_devices[] = {
    {"wrong_serial", {"FB-4200 Flatbed", "", "0x2d1a", "0x4200", "KV4200-0002", "fb-a4"}},
    {"wrong_model", {"FB-4200", "", "0x2d1a", "0x4200", "KV4200-0001", "fb-a4"}},
    {"usb_device_at_a_host", {"FB-4200 Flatbed", "somewhere", "0x2d1a", "0x4200", "KV4200-0001", "fb-a4"}},
    {"host_device_without_host", {"NX-9100 Network", "", "", "", "", "net-office"}},
    {"nothing", {}},
};

TEST_P(SimOpenUnknown, ClosesTheConnectionWithoutAReplyAndExits) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    ASSERT_TRUE(sim.send_request(1, sim_open_request(GetParam().id)));
    EXPECT_TRUE(sim.connection_closed());
    EXPECT_EQ(0, sim.wait_exit());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimOpenUnknown, testing::ValuesIn(unknown_devices),
                         [](const auto& info) { return std::string(info.param.label); });

// The bare acknowledgements are exactly 20 bytes: command, 1, 0, 0.
TEST(SimAcknowledgements, AreBareHeadersWithTheRequestsCommand) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    for (uint32_t command : {2u, 5u, 7u, 1000u}) {
        ASSERT_TRUE(sim.send_request(command));
        uint8_t bytes[21] = {};
        ASSERT_EQ(SimRead::frame, sim.read_exact(bytes, 20));
        uint8_t expected[20] = {};
        std::memcpy(expected, &command, 4);
        expected[4] = 1;
        EXPECT_EQ(0, std::memcmp(expected, bytes, 20)) << "command " << command;
        EXPECT_TRUE(sim.stays_silent(30)) << "nothing follows the acknowledgement of " << command;
    }
}

// ---------------------------------------------------------------- scan parameters

struct ImageInfoCase {
    uint32_t color_mode;
    uint32_t width, height, resolution;
    std::vector<std::pair<std::string, std::string>> expected;
};

class SimScanParameter : public testing::TestWithParam<ImageInfoCase> {};

const ImageInfoCase image_info_cases[] = {
    {1, 850, 1100, 100, {{"color_space", "1"}, {"resolution", "100"}, {"width", "850"}, {"height", "1100"},
                          {"bits_per_component", "8"}, {"bits_per_pixel", "8"}, {"bytes_per_row", "850"}}},
    // Any mode but grey scans in colour.
    {0, 7, 1, 75, {{"color_space", "2"}, {"resolution", "75"}, {"width", "7"}, {"height", "1"},
                    {"bits_per_component", "8"}, {"bits_per_pixel", "24"}, {"bytes_per_row", "21"}}},
};

TEST_P(SimScanParameter, ImageInfoFollowsTheOutputValues) {
    const ImageInfoCase& c = GetParam();
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, c.color_mode, c.width, c.height, c.resolution), reply));
    EXPECT_EQ(3u, reply.command);
    const SimXml doc = reply_document(reply);
    EXPECT_EQ("image_info", doc.name);
    EXPECT_EQ(c.expected, doc.attributes);
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimScanParameter, testing::ValuesIn(image_info_cases));

// ------------------------------------------------------------------- jobs

std::string read_status(const SimPage& page) { return page.ok ? sim_status(page.end, "read_status") : "no reply"; }

TEST(SimJobs, PageArrivesInPiecesOfTheChosenSizeThenTheJobIsOver) {
    struct Case {
        const char* scenario;
        uint32_t color_mode, width, height;
        std::vector<uint64_t> pieces;
    };
    const Case cases[] = {
        {"", 2, 300, 400, {262144, 360000 - 262144}},  // the default piece size
        {R"(<scenario piece_size="1000"/>)", 1, 123, 45, {1000, 1000, 1000, 1000, 1000, 535}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect(c.scenario));
        EXPECT_EQ("2", read_status(sim_read_page(sim))) << "a read without a job";
        ASSERT_EQ("0", sim_start_job(sim, "fb-a4", sim_scan_request(0, 0, c.color_mode, c.width, c.height)));
        const SimPage page = sim_read_page(sim);
        EXPECT_EQ(c.pieces, page.pieces);
        EXPECT_TRUE(page.bytes == sim_chart(c.width, c.height, c.color_mode == 2 ? 3 : 1, 1));
        EXPECT_EQ("2", read_status(page));
        EXPECT_EQ(6u, page.end.command);
        const SimPage after = sim_read_page(sim);
        EXPECT_TRUE(after.pieces.empty());
        EXPECT_EQ("2", read_status(after)) << "more reads keep saying the job is over";
    }
}

TEST(SimJobs, SheetsOfAScenarioDeviceSetTheJobLength) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario><device name="t:one" deviceName="one" sheets="1"/>
        <device name="t:none" deviceName="none" sheets="0"/></scenario>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request({"", "", "", "", "", "one"}), reply));
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(1, 0, 1, 10, 10), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    ASSERT_EQ("0", sim_status(reply, "scan_status"));
    EXPECT_EQ("2", read_status(sim_read_page(sim)));
    ASSERT_TRUE(sim.exchange(1, sim_open_request({"", "", "", "", "", "none"}), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    EXPECT_EQ("1", sim_status(reply, "scan_status"));
}

TEST(SimJobs, EndScanDropsThePagesNotYetRead) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario piece_size="100"/>)"));
    ASSERT_EQ("0", sim_start_job(sim, "mfp-adf", sim_scan_request(1, 0, 1, 50, 40)));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(2u, reply.kind);
    ASSERT_TRUE(sim.exchange(5, {}, reply));
    EXPECT_EQ(5u, reply.command);
    EXPECT_EQ(0u, reply.length);
    EXPECT_EQ("2", read_status(sim_read_page(sim)));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    EXPECT_EQ("1", sim_status(reply, "scan_status")) << "the job took every sheet when it started";
}

TEST(SimJobs, GeometryIsFixedWhenTheJobStarts) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    ASSERT_EQ("0", sim_start_job(sim, "mfp-adf", sim_scan_request(1, 0, 1, 30, 20)));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(1, 0, 2, 90, 90), reply));
    EXPECT_TRUE(sim_read_page(sim).bytes == sim_chart(30, 20, 1, 1));
    EXPECT_TRUE(sim_read_page(sim).bytes == sim_chart(30, 20, 1, 2));
}

}  // namespace
