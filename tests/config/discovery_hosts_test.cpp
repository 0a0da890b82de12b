// The configuration file as the scan-manager sees it: the host names of the
// discovery request that each enumeration sends, read from the transcript of
// the simulator.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "tests/support/entry_points.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::Frame;
using kelvra_test::Scenario;

// The discovery request as sent: its root must be "device_discovery" without
// attributes, and every child a "discovery_info" with one host_name.
std::vector<std::string> requested_hosts(const Frame& frame) {
    std::vector<std::string> hosts;
    EXPECT_EQ(frame.direction, 0u);
    EXPECT_EQ(frame.kind, 1u);
    xmlDoc* doc = xmlReadMemory(frame.payload.data(), static_cast<int>(frame.payload.size()), nullptr, nullptr,
                                XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) {
        ADD_FAILURE() << "the discovery request is not well-formed: " << frame.payload;
        return hosts;
    }
    xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_NE(root, nullptr);
    if (root != nullptr) {
        EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "device_discovery");
        EXPECT_EQ(root->properties, nullptr);
        for (xmlNode* child = root->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) continue;
            EXPECT_STREQ(reinterpret_cast<const char*>(child->name), "discovery_info");
            xmlChar* host = xmlGetProp(child, reinterpret_cast<const xmlChar*>("host_name"));
            EXPECT_NE(host, nullptr);
            EXPECT_NE(child->properties, nullptr);
            if (child->properties != nullptr) {
                EXPECT_EQ(child->properties->next, nullptr);
            }
            if (host != nullptr) {
                hosts.emplace_back(reinterpret_cast<const char*>(host));
                xmlFree(host);
            }
        }
    }
    xmlFreeDoc(doc);
    return hosts;
}

// Writes the library's configuration file for one test and removes it again.
class ConfigFileTest : public ::testing::Test {
protected:
    void TearDown() override {
        unlink(KELVRA_TEST_CONFIG);
        sane_kelvra_exit();
    }

    static void set_config(const std::optional<std::string>& content) {
        unlink(KELVRA_TEST_CONFIG);
        if (content) kelvra_test::write_file(KELVRA_TEST_CONFIG, *content);
    }

    // Enumerates once and returns the hosts of the one discovery request sent.
    static std::vector<std::string> enumerate_and_read_request(const Scenario& scenario) {
        const auto before = kelvra_test::ProcessSnapshot::take();
        const SANE_Device** list = nullptr;
        EXPECT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
        EXPECT_NE(list, nullptr);
        EXPECT_TRUE(kelvra_test::returns_to(before)) << kelvra_test::ProcessSnapshot::take().describe();
        const std::vector<Frame> requests = scenario.frames_with_command(0);
        EXPECT_EQ(requests.size(), 1u);
        if (requests.empty()) return {};
        return requested_hosts(requests.back());
    }
};

struct HostsCase {
    const char* label;
    std::optional<std::string> content;  // nullopt: no file at all
    std::vector<std::string> hosts;
};

void PrintTo(const HostsCase& c, std::ostream* out) { *out << c.label; }

class DiscoveryHosts : public ConfigFileTest, public ::testing::WithParamInterface<HostsCase> {};

TEST_P(DiscoveryHosts, AreTheAcceptedLinesInFileOrder) {
    const HostsCase& c = GetParam();
    set_config(c.content);
    Scenario scenario;
    EXPECT_EQ(enumerate_and_read_request(scenario), c.hosts);
}

const std::string k254(254, 'h');
const std::string k255(255, 'g');

const HostsCase kHostsCases[] = {
    {"no_file", std::nullopt, {}},
    {"empty_file", "", {}},
    {"plain_hosts", "office-1\noffice-2\n", {"office-1", "office-2"}},
    {"comment_skipped", "# office-1\noffice-2\n", {"office-2"}},
    {"blanks_then_hash_is_a_host", "  # word\n", {"#word"}},
    {"blanks_and_tabs_inside_a_name", "office \t-\t 1\n", {"office-1"}},
    {"hash_after_a_name", "office-1 #x\n", {"office-1#x"}},
    {"blank_and_whitespace_lines_skipped", "\n \t \noffice-1\n\t\n", {"office-1"}},
    {"carriage_return_kept", "office-1\r\noffice-2\n", {"office-1\r", "office-2"}},
    {"line_of_254_accepted", k254 + "\n", {k254}},
    {"line_of_255_dropped_next_read", k255 + "\noffice-1\n", {"office-1"}},
    {"last_line_without_line_end_dropped", "office-1\noffice-2", {"office-1"}},
    {"duplicates_kept_in_order", "b\na\nb\na\n", {"b", "a", "b", "a"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, DiscoveryHosts, ::testing::ValuesIn(kHostsCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigFileTest, IsReadAnewByEveryEnumeration) {
    Scenario scenario;
    const SANE_Device** list = nullptr;
    set_config("first\n");
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    set_config("second\nthird\n");
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    set_config(std::nullopt);
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    const std::vector<Frame> requests = scenario.frames_with_command(0);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requested_hosts(requests[0]), std::vector<std::string>{"first"});
    EXPECT_EQ(requested_hosts(requests[1]), (std::vector<std::string>{"second", "third"}));
    EXPECT_EQ(requested_hosts(requests[2]), std::vector<std::string>{});
    // Each enumeration had a scan-manager of its own.
    EXPECT_NE(requests[0].pid, requests[1].pid);
    EXPECT_NE(requests[1].pid, requests[2].pid);
}

// A device reachable at a host is listed only when that host is configured;
// USB devices are listed either way.
struct HostDeviceCase {
    const char* label;
    std::optional<std::string> content;
    std::vector<std::string> names;
};

void PrintTo(const HostDeviceCase& c, std::ostream* out) { *out << c.label; }

class HostDevices : public ConfigFileTest, public ::testing::WithParamInterface<HostDeviceCase> {};

TEST_P(HostDevices, AppearOnlyWhenTheirHostIsConfigured) {
    const HostDeviceCase& c = GetParam();
    set_config(c.content);
    Scenario scenario(
        "<device name=\"test:usb\" vendor=\"V\" model=\"U\" type=\"flatbed scanner\" deviceName=\"usb\"/>\n"
        "<device name=\"test:office-1\" vendor=\"V\" model=\"N1\" type=\"flatbed scanner\" host=\"office-1\" "
        "deviceName=\"n1\"/>\n"
        "<device name=\"test:office-2\" vendor=\"V\" model=\"N2\" type=\"flatbed scanner\" host=\"office-2\" "
        "deviceName=\"n2\"/>\n");
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(list, nullptr);
    std::vector<std::string> names;
    for (const SANE_Device** entry = list; *entry != nullptr; ++entry) names.emplace_back((*entry)->name);
    EXPECT_EQ(names, c.names);
    ASSERT_EQ(g_device_infos.size(), names.size());
    for (const DeviceInfo& info : g_device_infos) {
        if (info.name == "test:usb") {
            EXPECT_EQ(info.host_name, "");
        }
        if (info.name == "test:office-1") {
            EXPECT_EQ(info.host_name, "office-1");
        }
        if (info.name == "test:office-2") {
            EXPECT_EQ(info.host_name, "office-2");
        }
    }
}

const HostDeviceCase kHostDeviceCases[] = {
    {"no_file", std::nullopt, {"test:usb"}},
    {"other_host", "office-3\n", {"test:usb"}},
    {"first_host", "office-1\n", {"test:usb", "test:office-1"}},
    {"second_host", "office-2\n", {"test:usb", "test:office-2"}},
    {"both_hosts", "office-2\noffice-1\n", {"test:usb", "test:office-1", "test:office-2"}},
    {"host_commented_out", "#office-1\n", {"test:usb"}},
    {"host_on_last_line_without_line_end", "office-1", {"test:usb"}},
    {"host_with_carriage_return", "office-1\r\n", {"test:usb"}},
    {"host_split_by_blanks", "office -1\n", {"test:usb", "test:office-1"}},
    {"host_named_twice", "office-1\noffice-1\n", {"test:usb", "test:office-1"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, HostDevices, ::testing::ValuesIn(kHostDeviceCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigFileTest, BuiltInNetworkDeviceNeedsItsHost) {
    Scenario scenario;
    const SANE_Device** list = nullptr;
    auto listed = [&] {
        std::vector<std::string> names;
        for (const SANE_Device** entry = list; *entry != nullptr; ++entry) names.emplace_back((*entry)->name);
        return names;
    };
    set_config(std::nullopt);
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(listed(), (std::vector<std::string>{"fb-a4", "mfp-adf", "duplex-legal"}));
    set_config("office-scanner.local\n");
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(listed(), (std::vector<std::string>{"fb-a4", "mfp-adf", "duplex-legal",
                                                  "net-office"}));
}

}  // namespace
