// The simulator's documentation against the program: every example scenario
// of the man page and of the scenario guide starts a simulator that serves,
// and --help names what the scenario file offers.
#include "tests/support/sim_client.h"
#include "tests/support/sim_images.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

using namespace kelvra_test;

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The blocks of `file` between `open` and `close` that are whole scenario files.
std::vector<std::string> example_scenarios(const char* file, const std::string& open, const std::string& close) {
    const std::string text = sim_read_file(std::string(KELVRA_SOURCE_DIR) + "/doc/" + file);
    std::vector<std::string> out;
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
        const std::string block = text.substr(at + open.size(), text.find(close, at + open.size()) - at - open.size());
        if (block.rfind("<scenario", 0) == 0 && block.find("...") == std::string::npos) out.push_back(block);
    }
    return out;
}

// Runs one example: written into a folder of its own, with a small image for
// every relative page source it names.
void expect_example_serves(const std::string& scenario) {
    SCOPED_TRACE(scenario);
    if (scenario.find("intruder=") != std::string::npos && ::geteuid() != 0) return;  // only root may run it
    const std::string folder = sim_temp_path("example");
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
    const std::regex file_attribute("file=\"([^\"/]+)\"");
    for (std::sregex_iterator m(scenario.begin(), scenario.end(), file_attribute), none; m != none; ++m) {
        const std::string name = (*m)[1];
        const bool is_png = name.size() > 4 && name.substr(name.size() - 4) == ".png";
        write_bytes(folder + "/" + name, is_png ? png(2, 1, 8, 0, {"\x10\xf0"}) : pnm('5', 2, 1, {16, 240}));
    }
    // Transcripts go into the example's folder, not where the example says.
    write_bytes(folder + "/scenario.xml", replace_all(scenario, "transcript=\"/tmp/", "transcript=\"" + folder + "/"));

    SimProcess sim;
    ASSERT_TRUE(sim.start(SimStartOptions{{}, {"KELVRA_SIM_SCENARIO=" + folder + "/scenario.xml", "KELVRA_SIM_LOG=0"}, {}}));
    int32_t port = 0;
    ASSERT_TRUE(sim.read_port(port)) << "the example does not start";
    if (port > 0 && port < 65536) {  // an example of a start-up fault serves nothing
        ASSERT_TRUE(sim.connect_to(port));
        SimFrame reply;
        EXPECT_TRUE(sim.exchange(0, sim_discovery_request({}), reply)) << "the example does not serve";
        sim.close_connection();
        EXPECT_EQ(0, sim.wait_exit());
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

TEST(SimDocs, EveryExampleScenarioOfTheManPageServes) {
    const std::vector<std::string> examples = example_scenarios("kelvra-sim.1", "\n.EX\n", "\n.EE\n");
    EXPECT_GE(examples.size(), 6u) << "the man page's examples were not found";
    // roff's escapes turned back into the characters they print.
    for (const std::string& example : examples)
        expect_example_serves(replace_all(replace_all(replace_all(example, "\\-", "-"), "\\(dq", "\""), "\\e", "\\"));
}

TEST(SimDocs, EveryExampleScenarioOfTheGuideServes) {
    const std::vector<std::string> examples = example_scenarios("kelvra-sim-scenario.md", "```xml\n", "```");
    EXPECT_GE(examples.size(), 4u) << "the guide's examples were not found";
    for (const std::string& example : examples) expect_example_serves(example);
}

TEST(SimDocs, HelpAndManPageNameEveryElementAndStartupOption) {
    std::string out, err;
    ASSERT_EQ(0, run_sim_with_args({"--help"}, out, err));
    const std::string page = sim_read_file(std::string(KELVRA_SOURCE_DIR) + "/doc/kelvra-sim.1");
    for (const char* word : {"Usage", "<startup", "<device", "<source", "<reply", "<page", "intruder",
                             "KELVRA_SIM_SCENARIO", "KELVRA_SIM_LOG", "kelvra-sim(1)", "doc/kelvra-sim-scenario.md"})
        EXPECT_NE(std::string::npos, out.find(word)) << "--help does not mention " << word;
    for (const char* word : {"<startup>", "<device>", "<source>", "<reply>", "<page>", "intruder", "KELVRA_SIM_SCENARIO",
                             "KELVRA_SIM_LOG", "SECURITY", "EXIT STATUS", "sane\\-kelvra", "scanimage", "dll.conf"})
        EXPECT_NE(std::string::npos, page.find(word)) << "the man page does not mention " << word;
}

}  // namespace
