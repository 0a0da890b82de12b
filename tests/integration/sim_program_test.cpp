// The simulator as a program, where no backend test looks: every example
// scenario of its man page and guide is served, a broken scenario is refused
// (exit 2, no port) with the line that is wrong, only the first connection of
// its own user is served (another user's is closed unread), it ends at once
// when its connection closes whatever it is doing, and its transcript reports
// the descriptors it inherited.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

using namespace kelvra_test;

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST(SimDocs, EveryExampleScenarioOfTheManPageAndTheGuideServes) {
    std::vector<std::string> examples;  // the blocks between the markers that are whole scenario files
    for (const auto& [file, open, close] : {std::tuple{"kelvra-sim.1", "\n.EX\n", "\n.EE\n"},
                                            {"kelvra-sim-scenario.md", "```xml\n", "```"}}) {
        const std::string text = sim_read_file(std::string(KELVRA_SOURCE_DIR) + "/doc/" + file), from = open;
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
            const std::string block = text.substr(at + from.size(), text.find(close, at + from.size()) - at - from.size());
            if (block.starts_with("<scenario") && block.find("...") == std::string::npos) examples.push_back(block);
        }
    }
    EXPECT_GE(examples.size(), 10u) << "the examples were not found";
    for (std::string example : examples) {
        example = replace_all(replace_all(replace_all(example, "\\-", "-"), "\\(dq", "\""), "\\e", "\\");  // roff
        SCOPED_TRACE(example);
        if (example.find("intruder=") != std::string::npos && ::geteuid() != 0) continue;  // root only
        // In a folder of its own: its transcripts, and a tiny picture for each
        // page source it names (the bytes tell the format, not the name).
        const std::string folder = sim_temp_path("example");
        std::filesystem::create_directory(folder);
        const std::regex file_attribute("file=\"([^\"/]+)\"");
        for (std::sregex_iterator m(example.begin(), example.end(), file_attribute), none; m != none; ++m)
            std::ofstream(folder + "/" + (*m)[1].str()) << "P5 2 1 255\n\x10\xf0";
        std::ofstream(folder + "/s.xml") << replace_all(example, "transcript=\"/tmp/", "transcript=\"" + folder + "/");
        SimProcess sim;
        ASSERT_TRUE(sim.start({{}, {"KELVRA_SIM_SCENARIO=" + folder + "/s.xml", "KELVRA_SIM_LOG=0"}, {}}));
        int32_t port = 0;
        ASSERT_TRUE(sim.read_port(port)) << "the example does not start";
        std::string reply;
        if (port > 0 && port < 65536) {  // an example of a start-up fault serves nothing
            EXPECT_TRUE(sim.connect_to(port) && sim.exchange(0, "<device_discovery/>", reply)) << "not served";
            sim.close_connection();
            EXPECT_EQ(0, sim.wait_exit());
        }
        std::filesystem::remove_all(folder);
    }
}

TEST(SimDocs, ABrokenScenarioIsRefusedWithItsLine) {
    const std::string deep = sim_temp_path("deep.pgm");
    std::ofstream(deep) << "P5 2 2 65535\n12345678";
    const std::pair<std::string, std::string> cases[] = {  // the scenario from its line 2, the error
        {"<fault/>", "line 2: unknown element <fault>"},
        {"\n<reply command=\"2\" acton=\"close\"/>", "line 3: <reply> has no attribute \"acton\""},
        {"<reply command=\"1\" action=\"explode\"/>", "line 2: reply action \"explode\" is unknown"},
        {"<page number=\"1\"/>", "line 2: <page> needs a read_status, an action or extra"},
        {"<startup port=\"-1\" action=\"exit\"/>", "line 2: <startup> takes exactly one"},
        {"<startup intruder=\"no-such-user-kelvra\"/>", "line 2: "},
        {"\n\n<source file=\"/nonexistent/p.png\"/>", "line 4: page source: cannot open the image"},
        {"<source file=\"" + deep + "\"/>", "line 2: page source: " + deep + ": PNM maxval 65535"},
        {"\n<reply command=1/>", "(line 3)"},  // not XML: the parser's line
    };
    for (const auto& [body, error] : cases) {
        SCOPED_TRACE(body);
        const std::string err_path = sim_temp_path("stderr");
        SimProcess sim;
        ASSERT_TRUE(sim.start({"<scenario>\n" + body + "\n</scenario>\n", {}, err_path}));
        int32_t port = 0;
        EXPECT_FALSE(sim.read_port(port)) << "a port was written";
        EXPECT_EQ(2, sim.wait_exit());
        const std::string err = sim_read_file(err_path);
        EXPECT_NE(std::string::npos, err.find("bad scenario: ")) << err;
        EXPECT_NE(std::string::npos, err.find(error)) << err;
        ::unlink(err_path.c_str());
    }
    ::unlink(deep.c_str());
}

TEST(SimSecurity, ServesOnlyTheFirstConnectionOfItsOwnUser) {
    const bool root = ::geteuid() == 0;  // only root can start the intruder as nobody
    const std::string transcript = sim_temp_path("transcript"), log_path = sim_temp_path("log");
    SimProcess sim;
    ASSERT_TRUE(sim.start({"<scenario transcript=\"" + transcript + "\">" +
                               (root ? "<startup intruder=\"nobody\"/>" : "") + "</scenario>",
                           {"KELVRA_SIM_LOG=1"}, log_path}));
    int32_t port = 0;
    std::string reply;
    ASSERT_TRUE(sim.read_port(port) && sim.connect_to(port) && sim.exchange(2, {}, reply)) << "the client is served";
    EXPECT_FALSE(SimProcess().connect_to(port)) << "the port must be closed after the first client";
    ASSERT_TRUE(sim.exchange(5, {}, reply)) << "the first connection goes on";
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit());
    const std::string log = sim_read_file(log_path), frames = sim_read_file(transcript);
    EXPECT_NE(std::string::npos, frames.find("frame " + std::to_string(sim.pid()) + " 5 0 0 0\n")) << frames;
    EXPECT_EQ(std::string::npos, frames.find(" 99 0 ")) << "the intruder's request was read:\n" << frames;
    for (const char* line : {"refused a connection from uid 65534", "intruder (user nobody) exited with status 0"})
        EXPECT_TRUE(!root || log.find(line) != std::string::npos) << line << " in:\n" << log;
    ::unlink(transcript.c_str());
    ::unlink(log_path.c_str());
}

// A scan-manager that outlived its connection would hold up the backend's
// close: whatever the simulator is doing then, it ends at once.
TEST(SimLifetime, ExitsPromptlyWhenTheConnectionCloses) {
    const kelvra_sim::FrameHeader promise{0, 0, 1, 100};  // a request whose payload is still coming
    const std::string inside_a_request = std::string(reinterpret_cast<const char*>(&promise), 20) + "<device_disc";
    auto reading = [](uint32_t color_mode, uint32_t width, uint32_t height) {  // a scan, then a read request
        return std::vector<std::pair<uint32_t, std::string>>{
            {3, sim_scan_parameter(0, color_mode, width, height)}, {4, ""}, {6, ""}};
    };
    const struct {
        std::string scenario;
        std::vector<std::pair<uint32_t, std::string>> requests;  // each answered but the last
        std::string raw = {};                                    // bytes sent then
    } cases[] = {
        {"", {}},
        {"", {}, inside_a_request},
        {"<scenario piece_delay_ms=\"60000\"/>", reading(1, 40, 40)},
        {"<scenario><reply command=\"2\" delay_ms=\"60000\"/></scenario>", {{2, ""}}},
        {"<scenario><reply command=\"2\" action=\"silence\"/></scenario>", {{2, ""}}},
        {"<scenario piece_size=\"67108864\"/>", reading(2, 5100, 7014)},  // 64 MiB the client does not read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario + (c.raw.empty() ? "" : " inside a request"));
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect({c.scenario, {}, {}}));
        std::string reply;
        for (size_t i = 0; i < c.requests.size(); ++i)
            ASSERT_TRUE(sim.send_request(c.requests[i].first, c.requests[i].second) &&
                        (i + 1 == c.requests.size() || sim.read_reply(reply)));
        ASSERT_TRUE(sim.send_raw(c.raw));
        EXPECT_EQ(-1, sim.wait_exit(100)) << "it runs while the connection is open";
        const auto closed_at = std::chrono::steady_clock::now();
        sim.close_connection();
        EXPECT_EQ(0, sim.wait_exit(3000));
        EXPECT_LT(std::chrono::steady_clock::now() - closed_at, std::chrono::milliseconds(1500));
    }
}

// The transcript's first line lists what the client left open across exec:
// 0, 1, 2, the port pipe and here one more descriptor without close-on-exec.
// The backend's test of what its scan-managers inherit relies on this line.
TEST(SimTranscript, ReportsTheInheritedDescriptors) {
    const std::string path = sim_temp_path("transcript");
    const int extra = ::open("/dev/null", O_RDONLY);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {  // the runner's stay out
        const int fd = std::stoi(entry.path().filename().string());
        if (fd > 2 && fd != extra) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    SimProcess sim;
    const bool started = sim.start_and_connect({"<scenario transcript=\"" + path + "\"/>", {}, {}});
    ::close(extra);
    ASSERT_TRUE(started);
    sim.close_connection();
    ASSERT_EQ(0, sim.wait_exit());
    std::string line = "fds " + std::to_string(sim.pid());
    for (int fd : std::set<int>{0, 1, 2, extra, sim.port_pipe_number()}) line += " " + std::to_string(fd);
    EXPECT_EQ(line + "\n", sim_read_file(path));
    ::unlink(path.c_str());
}

}  // namespace
