// The configuration file as the scan-manager sees it: the host names in the
// discovery request of each enumeration (from the simulator's transcript),
// and the devices then listed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <regex>

#include "backend/backend.h"
#include "backend/entry_points.h"
#include "tests/support/frontend.h"

namespace {

using namespace kelvra_test;
using Names = std::vector<std::string>;

// Writes the configuration file (none for nullopt) and enumerates.
const SANE_Device** enumerate_with(const std::optional<std::string>& content) {
    unlink(KELVRA_TEST_CONFIG);
    if (content) write_file(KELVRA_TEST_CONFIG, *content);
    const SANE_Device** list = nullptr;
    EXPECT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
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
        {"office-scanner.local\n", {"office-scanner.local"}},
        {"", {}},
    };
    Scenario scenario;
    for (const auto& step : steps) {
        // The list is refilled each time, and a device's record keeps its host.
        size_t listed = 0;
        for (const SANE_Device** list = enumerate_with(step.first); list[listed] != nullptr;) ++listed;
        EXPECT_EQ(g_device_infos.size(), listed);
        const bool net = step.second == Names{"office-scanner.local"};
        ASSERT_EQ(listed, net ? 4u : 3u);
        EXPECT_EQ(g_device_infos.back().host_name, net ? "office-scanner.local" : "");
    }
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

}  // namespace
