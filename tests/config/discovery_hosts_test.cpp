// The configuration file as the scan-manager sees it: the host names in the
// discovery request of each enumeration (from the simulator's transcript),
// and the devices then listed, enumeration after enumeration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <regex>

#include "backend/backend.h"
#include "tests/support/entry_points.h"
#include "tests/support/process_state.h"
#include "tests/support/frontend.h"

namespace {

using namespace kelvra_test;
using Names = std::vector<std::string>;

// Writes the configuration file (none for nullopt) and enumerates.
const SANE_Device** enumerate_with(const std::optional<std::string>& content, SANE_Bool local_only = SANE_FALSE) {
    unlink(KELVRA_TEST_CONFIG);
    if (content) write_file(KELVRA_TEST_CONFIG, *content);
    const SANE_Device** list = nullptr;
    EXPECT_EQ(sane_kelvra_get_devices(&list, local_only), SANE_STATUS_GOOD);
    return list;
}

class ConfigFile : public testing::Test {
    void TearDown() override { unlink(KELVRA_TEST_CONFIG), sane_kelvra_exit(); }
};

// Lines of up to 254 characters are hosts, longer ones are dropped whole;
// blanks go, a comment starts in the first column only, and a zero byte ends
// its line without costing the next one. Hosts are compared as the request
// carries them (a carriage return as &#13;).
TEST_F(ConfigFile, EveryEnumerationSendsTheHostsOfTheFileAsItIsThen) {
    const std::string k254(254, 'h');
    const std::pair<std::optional<std::string>, Names> steps[] = {
        {"office-1\n# comment\n  # word\noffice \t-\t 2 #x\n\n \t \ncr\r\n" + k254 + "\n" + std::string(255, 'g') +
             "\n" + std::string("zero\0byte\nafter-zero\n", 21) + "office-1\nlast line without line end",
         {"office-1", "#word", "office-2#x", "cr&#13;", k254, "zero", "after-zero", "office-1"}},
        {std::nullopt, {}},
        {"second\n", {"second"}},
        {"", {}},
    };
    Scenario scenario;
    for (const auto& step : steps) enumerate_with(step.first);
    const auto requests = scenario.frames(0);
    ASSERT_EQ(requests.size(), std::size(steps));
    const std::regex host(" host_name=\"([^\"]*)\"");
    for (size_t i = 0; i < requests.size(); ++i) {
        Names hosts;
        const std::string& sent = requests[i].payload;
        for (std::sregex_iterator m(sent.begin(), sent.end(), host), end; m != end; ++m) hosts.push_back((*m)[1]);
        EXPECT_EQ(hosts, steps[i].second) << "enumeration " << i + 1 << ": " << sent;
    }
}

// The devices listed are the scan-manager's for the configured hosts, each
// record keeping its host. Every enumeration has a scan-manager of its own
// and replaces the list, whatever local_only says; a refused call keeps it,
// and exit, before any enumeration or twice, releases it.
TEST_F(ConfigFile, EachEnumerationReplacesTheListWithTheDevicesOfTheHosts) {
    const ProcessSnapshot before = ProcessSnapshot::take();
    Scenario scenario("<device name=\"test:usb\" vendor=\"V &amp; W\" model=\"U\" type=\"flatbed scanner\"/>"
                      "<device name=\"test:office-1\" host=\"office-1\"/><device name=\"t:o2\" host=\"office-2\"/>");
    sane_kelvra_exit();
    const SANE_Device** list = nullptr;
    for (const std::string config : {"office-3\n", "office-2\noffice-1\n"}) {
        const bool both = config.size() > 10;
        Names names, hosts;
        for (const SANE_Device** entry = list = enumerate_with(config, both); entry && *entry; ++entry)
            names.push_back(std::string((*entry)->name) + "|" + (*entry)->vendor + "|" + (*entry)->model + "|" +
                            (*entry)->type);
        for (const DeviceInfo& info : g_device_infos) hosts.push_back(info.host_name);
        const Names usb = {"test:usb|V & W|U|flatbed scanner"}, all = {usb[0], "test:office-1|||", "t:o2|||"};
        EXPECT_EQ(names, both ? all : usb);
        EXPECT_EQ(hosts, both ? Names({"", "office-1", "office-2"}) : Names({""})) << "refilled, not appended to";
    }
    EXPECT_EQ(sane_kelvra_get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(list, const_cast<const SANE_Device**>(g_device_list)) << "a refused call keeps the list";
    const auto requests = scenario.frames(0);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].pid, requests[1].pid);
    for (int twice = 0; twice < 2; ++twice) sane_kelvra_exit();
    EXPECT_TRUE(g_device_list == nullptr && g_device_infos.empty());
    EXPECT_TRUE(returns_to(before)) << ProcessSnapshot::take().describe();
}

}  // namespace
