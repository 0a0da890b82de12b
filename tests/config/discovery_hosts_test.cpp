// The configuration file as the scan-manager sees it: the host names of the
// discovery request that each enumeration sends, read from the transcript of
// the simulator, and the devices listed for them.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "tests/support/entry_points.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::Scenario;
using Config = std::optional<std::string>;  // nullopt: no file at all
using Names = std::vector<std::string>;

// The host_name of every child of the discovery request.
Names requested_hosts(const kelvra_test::Frame& frame) {
    Names hosts;
    xmlDoc* doc = xmlReadMemory(frame.payload.data(), static_cast<int>(frame.payload.size()), nullptr, nullptr,
                                XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlNode* root = xmlDocGetRootElement(doc);
    if (root == nullptr || xmlStrcmp(root->name, BAD_CAST "device_discovery") != 0) {
        ADD_FAILURE() << "not a discovery request: " << frame.payload;
    } else {
        for (xmlNode* child = root->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) continue;
            xmlChar* host = xmlGetProp(child, BAD_CAST "host_name");
            hosts.emplace_back(host != nullptr ? reinterpret_cast<const char*>(host) : "(no host_name)");
            xmlFree(host);
        }
    }
    xmlFreeDoc(doc);
    return hosts;
}

// Writes the library's configuration file for one test and removes it again.
class ConfigFile : public ::testing::Test {
protected:
    void TearDown() override {
        unlink(KELVRA_TEST_CONFIG);
        sane_kelvra_exit();
    }

    static const SANE_Device** enumerate_with(const Config& content) {
        unlink(KELVRA_TEST_CONFIG);
        if (content) kelvra_test::write_file(KELVRA_TEST_CONFIG, *content);
        const SANE_Device** list = nullptr;
        EXPECT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
        EXPECT_NE(list, nullptr);
        return list;
    }
};

TEST_F(ConfigFile, EveryEnumerationSendsTheHostsOfTheFileAsItIsThen) {
    const std::string k254(254, 'h');
    // Every kind of line in one file: what the reader makes of each reaches
    // the scan-manager unchanged, in file order.
    const Config every_kind_of_line = "office-1\n"
                                      "# comment\n"
                                      "  # word\n"
                                      "office \t-\t 2 #x\n"
                                      "\n \t \n"
                                      "cr\r\n" +
                                      k254 + "\n" + std::string(255, 'g') + "\n" +
                                      "office-1\n"
                                      "last line without line end";
    const struct {
        Config content;
        Names hosts;
    } steps[] = {
        {every_kind_of_line, {"office-1", "#word", "office-2#x", "cr\r", k254, "office-1"}},
        {std::nullopt, {}},
        {"second\n", {"second"}},
        {"", {}},
    };
    Scenario scenario;
    for (const auto& step : steps) enumerate_with(step.content);
    const std::vector<kelvra_test::Frame> requests = scenario.frames_with_command(0);
    ASSERT_EQ(requests.size(), std::size(steps));
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requested_hosts(requests[i]), steps[i].hosts) << "enumeration " << i + 1;
    }
}

// A device reachable at a host is listed only when that host is configured,
// and its record keeps the host; USB devices are listed either way.
TEST_F(ConfigFile, DevicesOfAHostAreListedOnlyWhenItIsConfigured) {
    Scenario scenario(
        "<device name=\"test:usb\" vendor=\"V\" model=\"U\" type=\"flatbed scanner\" deviceName=\"usb\"/>\n"
        "<device name=\"test:office-1\" vendor=\"V\" model=\"N1\" type=\"flatbed scanner\" host=\"office-1\" "
        "deviceName=\"n1\"/>\n"
        "<device name=\"test:office-2\" vendor=\"V\" model=\"N2\" type=\"flatbed scanner\" host=\"office-2\" "
        "deviceName=\"n2\"/>\n");
    const struct {
        Config content;
        Names names;
        Names hosts;
    } cases[] = {
        {std::nullopt, {"test:usb"}, {""}},
        {"office-3\n", {"test:usb"}, {""}},
        {"office-2\noffice-1\n", {"test:usb", "test:office-1", "test:office-2"}, {"", "office-1", "office-2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.value_or("(no file)"));
        Names names, hosts;
        for (const SANE_Device** entry = enumerate_with(c.content); entry && *entry; ++entry)
            names.emplace_back((*entry)->name);
        for (const DeviceInfo& info : g_device_infos) hosts.push_back(info.host_name);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(hosts, c.hosts);
    }
}

}  // namespace
