// The simulator as a program: arguments, scenario errors, hostile clients,
// ending with the connection, the transcript and the log.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace kelvra_test;

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// ------------------------------------------------------------------ arguments

struct BadArguments {
    const char* label;
    std::vector<std::string> args;
};

class SimBadArguments : public testing::TestWithParam<BadArguments> {};

const BadArguments bad_arguments[] = {
    {"none", {}},
    {"not_a_number", {"abc"}},
    {"negative", {"-1"}},
    {"closed_descriptor", {"987"}},
    {"two_arguments", {"1", "2"}},
};

TEST_P(SimBadArguments, PrintAnErrorAndExitWithTwo) {
    std::string out, err;
    EXPECT_EQ(2, run_sim_with_args(GetParam().args, out, err));
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimBadArguments, testing::ValuesIn(bad_arguments),
                         [](const auto& info) { return std::string(info.param.label); });

// ------------------------------------------------------------------ scenarios

struct BadStart {
    const char* label;
    std::string scenario;          // the scenario file's text; empty: none
    std::vector<std::string> env{};  // extra environment
    const char* message = "bad scenario";  // part of the error
};

class SimRefusesToStart : public testing::TestWithParam<BadStart> {};

const BadStart bad_starts[] = {
    {"not_xml", "<scenario"},
    {"other_root", "<scenarios/>"},
    {"unknown_element", "<scenario><fault/></scenario>"},
    {"misspelt_attribute", R"(<scenario><reply command="2" acton="close"/></scenario>)"},
    {"bad_number", R"(<scenario piece_size="12k"/>)"},
    {"zero_piece_size", R"(<scenario piece_size="0"/>)"},
    {"log_out_of_range", R"(<scenario log="4"/>)"},
    {"two_startups", R"(<scenario><startup action="exit"/><startup action="hang"/></scenario>)"},
    {"startup_with_two_faults", R"(<scenario><startup port="-1" action="exit"/></scenario>)"},
    {"unknown_startup_action", R"(<scenario><startup action="crash"/></scenario>)"},
    {"intruder_unknown_user", R"(<scenario><startup intruder="no-such-user-kelvra"/></scenario>)", {}, "intruder"},
    {"intruder_empty_user", R"(<scenario><startup intruder=""/></scenario>)", {}, "intruder"},
    {"intruder_with_an_action", R"(<scenario><startup intruder="nobody" action="exit"/></scenario>)", {}, "intruder"},
    {"device_without_name", R"(<scenario><device model="x"/></scenario>)"},
    {"area_of_three_numbers", R"(<scenario><device name="x" flatbed="1 2 3"/></scenario>)"},
    {"reply_without_command", R"(<scenario><reply body="x"/></scenario>)"},
    {"nth_zero", R"(<scenario><reply command="1" nth="0"/></scenario>)"},
    {"unknown_reply_action", R"(<scenario><reply command="1" action="explode"/></scenario>)"},
    {"body_and_body_size", R"(<scenario><reply command="1" body="x" body_size="3"/></scenario>)"},
    {"page_without_fault", R"(<scenario><page number="1"/></scenario>)"},
    {"page_zero", R"(<scenario><page number="0" read_status="4"/></scenario>)"},
    {"page_status_and_action", R"(<scenario><page number="1" read_status="4" action="close"/></scenario>)"},
    {"stray_text", R"(<scenario>hello</scenario>)"},
    {"missing_file", "", {"KELVRA_SIM_SCENARIO=/nonexistent/kelvra/scenario.xml"}},
    {"unwritable_transcript", R"(<scenario transcript="/nonexistent/dir/t.txt"/>)", {}, "transcript"},
    {"bad_log_verbosity", "", {"KELVRA_SIM_LOG=loud"}, "KELVRA_SIM_LOG"},
};

TEST_P(SimRefusesToStart, WithoutAPortAndSaysWhy) {
    const BadStart& c = GetParam();
    std::string err;
    EXPECT_TRUE(sim_refuses_to_start(SimStartOptions{c.scenario, c.env, {}}, err));
    EXPECT_NE(std::string::npos, err.find(c.message)) << err;
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimRefusesToStart, testing::ValuesIn(bad_starts),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SimScenario, CommentsAndLayoutAreAllowed) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect("<?xml version=\"1.0\"?>\n<!-- faults -->\n<scenario>\n  <!-- none -->\n"
                                      "  <reply command=\"2\">\n  </reply>\n</scenario>\n"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(2, {}, reply));
    EXPECT_EQ(0u, reply.length) << "white space around nothing is no body";
}

// ------------------------------------------------------------ hostile clients

struct Garbage {
    const char* label;
    uint32_t command, direction, kind;
    uint64_t length;
};

class SimGarbage : public testing::TestWithParam<Garbage> {};

const Garbage garbage_frames[] = {
    {"reply_direction", 2, 1, 0, 0},
    {"other_direction", 0, 7, 1, 0},
    {"absurd_length", 0, 0, 1, (64ull << 20) + 1},
    {"all_bits_set", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, ~0ull},
};

TEST_P(SimGarbage, ClosesTheConnectionAndExits) {
    const Garbage& g = GetParam();
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    uint8_t header[20];
    std::memcpy(header, &g.command, 4);
    std::memcpy(header + 4, &g.direction, 4);
    std::memcpy(header + 8, &g.kind, 4);
    std::memcpy(header + 12, &g.length, 8);
    ASSERT_TRUE(sim.send_raw(header, sizeof header));
    EXPECT_TRUE(sim.connection_closed());
    EXPECT_EQ(1, sim.wait_exit());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimGarbage, testing::ValuesIn(garbage_frames),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SimGarbage, PayloadsThatAreNotTheExpectedDocumentsStillGetAnswers) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    SimFrame reply;
    SimXml doc;
    // A discovery request without a document of its own lists the USB devices.
    for (const std::string& request : {std::string("this is < not xml"), std::string()}) {
        ASSERT_TRUE(sim.send_frame(0, 0, request.empty() ? 0 : 1, request));
        ASSERT_EQ(SimRead::frame, sim.read_frame(reply));
        ASSERT_TRUE(parse_sim_xml(reply.payload, doc));
        EXPECT_EQ(3u, doc.children.size()) << request;
    }
    ASSERT_TRUE(sim.send_frame(3, 0, 2, std::string("\0\1\2\3", 4)));
    ASSERT_EQ(SimRead::frame, sim.read_frame(reply));
    ASSERT_TRUE(parse_sim_xml(reply.payload, doc));
    EXPECT_EQ("image_info", doc.name);
    EXPECT_EQ("0", doc["width"]) << "missing values read as 0";
    ASSERT_TRUE(sim.exchange(3, "<image_info output_width=\"5\"/>", reply));
    ASSERT_TRUE(parse_sim_xml(reply.payload, doc));
    EXPECT_EQ("0", doc["width"]) << "another root carries no parameters";
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    EXPECT_TRUE(sim.exchange(6, {}, reply)) << "a page of no bytes";
    EXPECT_EQ("2", sim_status(reply, "read_status"));
}

// ----------------------------------------------------------- end of the process

// Whatever the simulator is doing when its client goes away, it ends at once:
// a scan-manager that outlived its connection would hold up the backend.
struct Lifetime {
    const char* label;
    const char* scenario;
    std::function<void(SimProcess&)> before_closing;
};

// A close request whose reply does not come.
void close_unanswered(SimProcess& sim) {
    ASSERT_TRUE(sim.send_request(2));
    EXPECT_TRUE(sim.stays_silent(100));
}

const Lifetime lifetimes[] = {
    {"idle", "", [](SimProcess&) {}},
    {"inside_a_request_payload", "",
     [](SimProcess& sim) {
         const uint32_t fields[3] = {0, 0, 1};
         const uint64_t length = 100;
         uint8_t header[20];
         std::memcpy(header, fields, 12);
         std::memcpy(header + 12, &length, 8);
         ASSERT_TRUE(sim.send_raw(header, sizeof header));
         ASSERT_TRUE(sim.send_raw("<device_discovery", 17));
     }},
    {"during_paced_pieces", R"(<scenario piece_delay_ms="60000"/>)",
     [](SimProcess& sim) {
         SimFrame reply;
         ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 10, 10), reply));
         ASSERT_TRUE(sim.exchange(4, {}, reply));
         ASSERT_TRUE(sim.send_request(6));
         EXPECT_TRUE(sim.stays_silent(100));
     }},
    {"during_a_long_reply_delay", R"(<scenario><reply command="2" delay_ms="60000"/></scenario>)", close_unanswered},
    {"after_a_scripted_silence", R"(<scenario><reply command="2" action="silence"/></scenario>)", close_unanswered},
    {"with_most_of_a_large_reply_unread", R"(<scenario piece_size="67108864"/>)",
     [](SimProcess& sim) {
         SimFrame reply;
         ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 2, 5100, 7014, 600), reply));
         ASSERT_TRUE(sim.exchange(4, {}, reply));
         ASSERT_TRUE(sim.send_request(6));
         uint8_t some[1000];
         ASSERT_EQ(SimRead::frame, sim.read_exact(some, sizeof some));
     }},
};

class SimLifetime : public testing::TestWithParam<Lifetime> {};

TEST_P(SimLifetime, ExitsPromptlyWhenTheConnectionCloses) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(GetParam().scenario));
    GetParam().before_closing(sim);
    if (HasFatalFailure()) return;
    EXPECT_EQ(-1, sim.wait_exit(50)) << "it runs while the connection is open";
    const auto closed_at = Clock::now();
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(3000));
    EXPECT_LT(elapsed_ms(closed_at), 1500);
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimLifetime, testing::ValuesIn(lifetimes),
                         [](const auto& info) { return std::string(info.param.label); });

// -------------------------------------------------------------------- transcript

TEST(SimTranscript, AppendsEveryReceivedFrameWithItsPayloadAnsweredOrNot) {
    const std::string path = sim_temp_path("transcript.txt");
    {
        std::ofstream earlier(path, std::ios::binary);
        earlier << "earlier\n\n";
    }
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect("<scenario transcript=\"" + path +
                                      "\"><reply command=\"5\" action=\"silence\"/></scenario>"));
    const std::string discovery = sim_discovery_request({"a"});
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(0, discovery, reply));
    ASSERT_TRUE(sim.send_frame(9, 0, 2, std::string("a\0b", 3)));
    ASSERT_EQ(SimRead::frame, sim.read_frame(reply));
    ASSERT_TRUE(sim.send_request(5));
    ASSERT_TRUE(sim.send_request(6));
    EXPECT_TRUE(sim.stays_silent(100));
    sim.close_connection();
    ASSERT_EQ(0, sim.wait_exit());
    // The descriptor report (its content is the next test's) comes before the first frame.
    const std::string earlier = "earlier\n\n";
    const std::string fds = "fds " + std::to_string(sim.pid()) + " ";
    std::string text = sim_read_file(path);
    ASSERT_EQ(earlier + fds, text.substr(0, earlier.size() + fds.size()));
    text.erase(earlier.size(), text.find('\n', earlier.size()) + 1 - earlier.size());
    const std::string frame = "frame " + std::to_string(sim.pid()) + " ";
    EXPECT_EQ(earlier + frame + "0 0 1 " + std::to_string(discovery.size()) + "\n" + discovery + "\n" + frame +
                  "9 0 2 3\n" + std::string("a\0b", 3) + "\n" + frame + "5 0 0 0\n\n" + frame + "6 0 0 0\n\n",
              text);
    ::unlink(path.c_str());
}

// Marks every descriptor from 3 up but `kept` close-on-exec: whatever the
// test runner left inheritable stays out of the simulator.
void close_on_exec_all_but(int kept) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if (fd > 2 && fd != kept) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

// The simulator reports what the client left open across exec: 0, 1, 2, the
// port pipe and here one more descriptor opened without close-on-exec.
TEST(SimTranscript, ReportsTheInheritedDescriptors) {
    const std::string path = sim_temp_path("transcript.txt");
    const int extra = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(extra, 3);
    close_on_exec_all_but(extra);
    SimProcess sim;
    const bool started = sim.start_and_connect("<scenario transcript=\"" + path + "\"/>");
    ::close(extra);
    ASSERT_TRUE(started);
    sim.close_connection();
    ASSERT_EQ(0, sim.wait_exit());
    const std::set<int> expected{0, 1, 2, extra, sim.port_pipe_number()};
    std::string line = "fds " + std::to_string(sim.pid());
    for (int fd : expected) line += " " + std::to_string(fd);
    EXPECT_EQ(line + "\n", sim_read_file(path));
    ::unlink(path.c_str());
}

// --------------------------------------------------------------------------- log

struct LogCase {
    const char* label;
    const char* scenario;
    std::vector<std::string> env;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

class SimLog : public testing::TestWithParam<LogCase> {};

const LogCase log_cases[] = {
    {"silent_by_default", "", {}, {}, {"kelvra-sim"}},
    {"level_1", "", {"KELVRA_SIM_LOG=1"}, {"listening", "discovery", "duplex-legal", "job started", "job over"},
     {"request 0", "<device_discovery"}},
    {"level_2", "", {"KELVRA_SIM_LOG=2"}, {"request 0 discovery", "reply 6 read-image"}, {"<device_discovery"}},
    {"level_3", "", {"KELVRA_SIM_LOG=3"}, {"request 0 discovery", "<device_discovery", "<devices>"}, {}},
    {"scenario_level", R"(<scenario log="1"/>)", {}, {"job started"}, {"request 0"}},
    {"environment_overrides_scenario", R"(<scenario log="3"/>)", {"KELVRA_SIM_LOG=0"}, {}, {"kelvra-sim"}},
};

TEST_P(SimLog, VerbosityChoosesWhatIsWritten) {
    const LogCase& c = GetParam();
    const std::string err_path = sim_temp_path("stderr");
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect(SimStartOptions{c.scenario, c.env, err_path}));
        SimFrame reply;
        ASSERT_TRUE(sim.exchange(0, sim_discovery_request({"x"}), reply));
        ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 10, 10), reply));
        ASSERT_TRUE(sim.exchange(4, {}, reply));
        sim_read_page(sim);
        sim.close_connection();
        ASSERT_EQ(0, sim.wait_exit());
    }
    const std::string err = sim_read_file(err_path);
    for (const std::string& text : c.present) EXPECT_NE(std::string::npos, err.find(text)) << text << " in:\n" << err;
    for (const std::string& text : c.absent) EXPECT_EQ(std::string::npos, err.find(text)) << text << " in:\n" << err;
    ::unlink(err_path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimLog, testing::ValuesIn(log_cases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
