// The simulator's default behaviour, seen from an independent client:
// discovery, open, close, scan parameters, and the pages of flatbed, feeder
// and duplex jobs compared byte for byte with the page generator.
#include "simulator/pages.h"
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kelvra_test;

namespace {

constexpr uint32_t reply_direction = 1;

std::string expected_page(uint32_t width, uint32_t height, bool colour, uint32_t page, uint64_t count = UINT64_MAX) {
    kelvra_sim::PageGeometry g{width, height, uint64_t(width) * (colour ? 3 : 1), colour ? 3u : 1u};
    std::string bytes(size_t(std::min(count, kelvra_sim::page_size(g))), '\0');
    kelvra_sim::page_bytes(g, page, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

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
const std::vector<std::string> all_devices{"fb-a4", "mfp-adf", "duplex-legal",
                                           "net-office"};

const DiscoveryCase discovery_cases[] = {
    {"no_hosts", {}, usb_devices},
    {"unknown_host", {"elsewhere.local"}, usb_devices},
    {"host_named", {"office-scanner.local"}, all_devices},
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

TEST(SimDiscovery, ReportsEveryIdentityAttributeInOrder) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(0, sim_discovery_request({"office-scanner.local"}), reply));
    const SimXml devices = reply_document(reply);
    ASSERT_EQ(4u, devices.children.size());
    const std::vector<std::pair<std::string, std::string>> mfp{
        {"name", "mfp-adf"}, {"vendor", "Kelvra"}, {"model", "MF-5300 ADF"},
        {"type", "multi-function peripheral"}, {"host_name", ""}, {"vendor_id", "0x2d1a"},
        {"product_id", "0x5300"}, {"usb_serial_id", "KV5300-0001"}, {"deviceName", "mfp-adf"}};
    EXPECT_EQ(mfp, devices.children[1].attributes);
    EXPECT_EQ("office-scanner.local", devices.children[3]["host_name"]);
    EXPECT_EQ("net-office", devices.children[3]["deviceName"]);
    EXPECT_EQ("", devices.children[3]["usb_serial_id"]);
}

TEST(SimDiscovery, ScenarioDevicesReplaceTheCatalogueAndKeepTheirOrder) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario>
        <device name="t:net" host="lab-1" deviceName="net"/>
        <device name="t:usb" deviceName="usb" vendor="Acme &amp; Co"/>
        <device name="t:other" host="lab-2"/>
    </scenario>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(0, sim_discovery_request({"lab-2", "lab-1"}), reply));
    const SimXml devices = reply_document(reply);
    EXPECT_EQ((std::vector<std::string>{"t:net", "t:usb", "t:other"}), names_of(devices));
    EXPECT_EQ("Acme & Co", devices.children[1]["vendor"]);
}

TEST(SimDiscovery, ARequestThatIsNotADiscoveryDocumentGetsTheUsbDevices) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(0, "this is < not xml", reply));
    EXPECT_EQ(usb_devices, names_of(reply_document(reply)));
    ASSERT_TRUE(sim.send_frame(0, 0, 0, ""));
    ASSERT_EQ(SimRead::frame, sim.read_frame(reply));
    EXPECT_EQ(usb_devices, names_of(reply_document(reply)));
}

// ----------------------------------------------------------------- open/close

struct CapabilityCase {
    const char* device;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::string> units;
};

class SimOpen : public testing::TestWithParam<CapabilityCase> {};

std::vector<std::pair<std::string, std::string>> capability(const char* adf_max_width, const char* adf_max_height) {
    return {{"basic_resolution", "600"},       {"flatbed_min_width", "64"},
            {"flatbed_max_width", "5100"},     {"flatbed_min_height", "64"},
            {"flatbed_max_height", "7014"},    {"adf_min_Width", "64"},
            {"adf_max_Width", adf_max_width},  {"adf_min_height", "64"},
            {"adf_max_height", adf_max_height}, {"flatbed_original_alignment", "0"},
            {"adf_original_alignment", "0"},   {"black_text_support", "0"}};
}

const CapabilityCase capability_cases[] = {
    {"fb-a4", capability("5100", "8400"), {"flatbed"}},
    {"mfp-adf", capability("5100", "7014"), {"flatbed", "adf"}},
    {"duplex-legal", capability("5100", "8400"), {"flatbed", "adf", "adf_duplex"}},
    {"net-office", capability("5100", "7014"), {"flatbed", "adf"}},
};

TEST_P(SimOpen, KnownDeviceGetsItsCapabilityWithUnitsInOrder) {
    const CapabilityCase& c = GetParam();
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request(sim_builtin_device(c.device)), reply));
    EXPECT_EQ(1u, reply.command);
    EXPECT_EQ(reply_direction, reply.direction);
    const SimXml doc = reply_document(reply);
    EXPECT_EQ("device_capability", doc.name);
    EXPECT_EQ(c.attributes, doc.attributes);
    std::vector<std::string> units;
    for (const SimXml& child : doc.children) {
        EXPECT_EQ("scanner_units", child.name);
        units.push_back(child["name"]);
    }
    EXPECT_EQ(c.units, units);
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimOpen, testing::ValuesIn(capability_cases),
                         [](const auto& info) {
                             std::string name = info.param.device;
                             for (char& ch : name) ch = ch == '-' ? '_' : ch;
                             return name;
                         });

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
    ASSERT_EQ(2u, doc.children.size());
    EXPECT_EQ("adf_duplex", doc.children[0]["name"]);
    EXPECT_EQ("adf", doc.children[1]["name"]);
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
    {2, 2550, 3507, 300, {{"color_space", "2"}, {"resolution", "300"}, {"width", "2550"}, {"height", "3507"},
                           {"bits_per_component", "8"}, {"bits_per_pixel", "24"}, {"bytes_per_row", "7650"}}},
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

void open_and_set(SimProcess& sim, const char* device, const std::string& parameters) {
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request(sim_builtin_device(device)), reply));
    ASSERT_TRUE(sim.exchange(3, parameters, reply));
}

std::string start(SimProcess& sim) {
    SimFrame reply;
    if (!sim.exchange(4, {}, reply)) return "no reply";
    SimXml doc;
    if (reply.command != 4 || reply.kind != 1 || !parse_sim_xml(reply.payload, doc) || doc.name != "status")
        return "bad reply";
    return doc["scan_status"];
}

std::string read_status(const SimPage& page) {
    SimXml doc;
    if (!page.ok || page.end.kind != 1 || !parse_sim_xml(page.end.payload, doc) || doc.name != "status")
        return "no status";
    return doc["read_status"];
}

TEST(SimJobs, FlatbedPageIsTheGeneratedPageInPiecesOfTheDefaultSize) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    open_and_set(sim, "fb-a4", sim_scan_request(0, 0, 2, 300, 400));
    ASSERT_EQ("0", start(sim));
    const SimPage page = sim_read_page(sim);
    ASSERT_TRUE(page.ok);
    EXPECT_EQ(std::vector<uint64_t>({262144, 360000 - 262144}), page.pieces);
    EXPECT_TRUE(page.bytes == expected_page(300, 400, true, 1)) << "page 1 differs from the generator";
    EXPECT_EQ("2", read_status(page));
    EXPECT_EQ(6u, page.end.command);
    // The job is over: more reads keep saying so.
    EXPECT_EQ("2", read_status(sim_read_page(sim)));
}

TEST(SimJobs, ReadWithoutAJobSaysTheJobIsOver) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    const SimPage page = sim_read_page(sim);
    EXPECT_TRUE(page.pieces.empty());
    EXPECT_EQ("2", read_status(page));
}

TEST(SimJobs, PieceSizeOfTheScenarioIsRespected) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario piece_size="1000"/>)"));
    open_and_set(sim, "fb-a4", sim_scan_request(0, 0, 1, 123, 45));
    ASSERT_EQ("0", start(sim));
    const SimPage page = sim_read_page(sim);
    ASSERT_EQ(6u, page.pieces.size());  // 5535 bytes
    for (size_t i = 0; i + 1 < page.pieces.size(); ++i) EXPECT_EQ(1000u, page.pieces[i]);
    EXPECT_EQ(535u, page.pieces.back());
    EXPECT_TRUE(page.bytes == expected_page(123, 45, false, 1));
}

// Feeder and duplex jobs, page by page, are checked through the backend.

TEST(SimJobs, SheetsOfAScenarioDeviceSetTheJobLength) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario><device name="t:one" deviceName="one" sheets="1"/>
        <device name="t:none" deviceName="none" sheets="0"/></scenario>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request({"", "", "", "", "", "one"}), reply));
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(1, 0, 1, 10, 10), reply));
    ASSERT_EQ("0", start(sim));
    EXPECT_EQ("2", read_status(sim_read_page(sim)));
    ASSERT_TRUE(sim.exchange(1, sim_open_request({"", "", "", "", "", "none"}), reply));
    EXPECT_EQ("1", start(sim));
}

TEST(SimJobs, PagesAreNumberedAcrossJobs) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    open_and_set(sim, "fb-a4", sim_scan_request(0, 0, 1, 50, 40));
    for (uint32_t page_number = 1; page_number <= 3; ++page_number) {
        ASSERT_EQ("0", start(sim));
        const SimPage page = sim_read_page(sim);
        EXPECT_TRUE(page.bytes == expected_page(50, 40, false, page_number)) << "job " << page_number;
    }
}

TEST(SimJobs, EndScanDropsThePagesNotYetRead) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario piece_size="100"/>)"));
    open_and_set(sim, "mfp-adf", sim_scan_request(1, 0, 1, 50, 40));
    ASSERT_EQ("0", start(sim));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(2u, reply.kind);
    ASSERT_TRUE(sim.exchange(5, {}, reply));
    EXPECT_EQ(5u, reply.command);
    EXPECT_EQ(0u, reply.length);
    EXPECT_EQ("2", read_status(sim_read_page(sim)));
    EXPECT_EQ("1", start(sim)) << "the job took every sheet when it started";
}

TEST(SimJobs, GeometryIsFixedWhenTheJobStarts) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    open_and_set(sim, "mfp-adf", sim_scan_request(1, 0, 1, 30, 20));
    ASSERT_EQ("0", start(sim));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(1, 0, 2, 90, 90), reply));
    EXPECT_TRUE(sim_read_page(sim).bytes == expected_page(30, 20, false, 1));
    EXPECT_TRUE(sim_read_page(sim).bytes == expected_page(30, 20, false, 2));
}

}  // namespace
