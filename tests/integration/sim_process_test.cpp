// The simulator as a program: arguments, scenario errors, hostile clients,
// ending with the connection, the transcript and the log.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

using namespace kelvra_test;

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// ------------------------------------------------------------------ arguments

TEST(SimArguments, HelpDescribesUseEnvironmentScenarioAndDocumentation) {
    std::string out, err;
    EXPECT_EQ(0, run_sim_with_args({"--help"}, out, err));
    for (const char* word : {"Usage", "KELVRA_SIM_SCENARIO", "KELVRA_SIM_LOG", "<startup", "<device", "<reply",
                             "<page", "doc/kelvra-sim-scenario.md"})
        EXPECT_NE(std::string::npos, out.find(word)) << "--help does not mention " << word;
}

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

struct BadScenario {
    const char* label;
    const char* text;
};

class SimBadScenario : public testing::TestWithParam<BadScenario> {};

const BadScenario bad_scenarios[] = {
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
};

TEST_P(SimBadScenario, RefusesToStartAndSaysWhy) {
    const std::string err_path = sim_temp_path("stderr");
    SimProcess sim;
    ASSERT_TRUE(sim.start(SimStartOptions{GetParam().text, {}, err_path}));
    EXPECT_TRUE(sim.pipe_ends_without_data()) << "no port for a bad scenario";
    EXPECT_EQ(2, sim.wait_exit());
    const std::string err = sim_read_file(err_path);
    EXPECT_NE(std::string::npos, err.find("scenario")) << err;
    ::unlink(err_path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimBadScenario, testing::ValuesIn(bad_scenarios),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SimScenario, MissingFileRefusesToStart) {
    SimProcess sim;
    ASSERT_TRUE(sim.start(SimStartOptions{{}, {"KELVRA_SIM_SCENARIO=/nonexistent/kelvra/scenario.xml"}, {}}));
    EXPECT_TRUE(sim.pipe_ends_without_data());
    EXPECT_EQ(2, sim.wait_exit());
}

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
    ASSERT_TRUE(sim.send_frame(3, 0, 2, std::string("\0\1\2\3", 4)));
    ASSERT_EQ(SimRead::frame, sim.read_frame(reply));
    SimXml doc;
    ASSERT_TRUE(parse_sim_xml(reply.payload, doc));
    EXPECT_EQ("image_info", doc.name);
    EXPECT_EQ("0", doc["width"]) << "missing values read as 0";
    ASSERT_TRUE(sim.exchange(3, "<image_info output_width=\"5\"/>", reply));
    ASSERT_TRUE(parse_sim_xml(reply.payload, doc));
    EXPECT_EQ("0", doc["width"]) << "another root carries no parameters";
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    EXPECT_TRUE(sim.exchange(6, {}, reply)) << "a page of no bytes";
    EXPECT_NE(std::string::npos, reply.payload.find("read_status=\"2\""));
}

TEST(SimGarbage, RequestCutInsideItsPayloadEndsTheProcess) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    const uint32_t fields[3] = {0, 0, 1};
    const uint64_t length = 100;
    uint8_t header[20];
    std::memcpy(header, fields, 12);
    std::memcpy(header + 12, &length, 8);
    ASSERT_TRUE(sim.send_raw(header, sizeof header));
    ASSERT_TRUE(sim.send_raw("<device_discovery", 17));
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit());
}

// ----------------------------------------------------------- end of the process

TEST(SimLifetime, ExitsWhenTheIdleConnectionCloses) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    EXPECT_EQ(-1, sim.wait_exit(100)) << "it waits for requests";
    const auto closed_at = Clock::now();
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(2000));
    EXPECT_LT(elapsed_ms(closed_at), 1000);
}

TEST(SimLifetime, ExitsWhenTheConnectionClosesInsideAHeader) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect());
    ASSERT_TRUE(sim.send_raw("\2\0\0\0\0", 5));
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(2000));
}

TEST(SimLifetime, ExitsWhenTheConnectionClosesDuringPacedPieces) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario piece_delay_ms="60000"/>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 10, 10), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    ASSERT_TRUE(sim.send_request(6));
    EXPECT_TRUE(sim.stays_silent(100));
    const auto closed_at = Clock::now();
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(3000));
    EXPECT_LT(elapsed_ms(closed_at), 1500);
}

TEST(SimLifetime, AClientThatStopsReadingALargePageDoesNotKeepItAlive) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(R"(<scenario piece_size="67108864"/>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 2, 5100, 7014, 600), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    ASSERT_TRUE(sim.send_request(6));
    uint8_t some[1000];
    ASSERT_EQ(SimRead::frame, sim.read_exact(some, sizeof some));
    sim.close_connection();  // with most of a 64 MiB reply unread
    EXPECT_EQ(0, sim.wait_exit(3000));
}

// -------------------------------------------------------------------- transcript

TEST(SimTranscript, AppendsEveryReceivedFrameWithItsPayload) {
    const std::string path = sim_temp_path("transcript.txt");
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(9, ::write(fd, "earlier\n\n", 9));
        ::close(fd);
    }
    const std::string scenario = "<scenario transcript=\"" + path + "\"/>";
    const std::string discovery = sim_discovery_request({"a"});
    std::string expected = "earlier\n\n";
    for (int round = 0; round < 2; ++round) {
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect(scenario));
        SimFrame reply;
        ASSERT_TRUE(sim.exchange(0, discovery, reply));
        ASSERT_TRUE(sim.exchange(2, {}, reply));
        ASSERT_TRUE(sim.send_frame(9, 0, 2, std::string("a\0b", 3)));
        ASSERT_EQ(SimRead::frame, sim.read_frame(reply));
        sim.close_connection();
        ASSERT_EQ(0, sim.wait_exit());
        const std::string pid = std::to_string(sim.pid());
        expected += "frame " + pid + " 0 0 1 " + std::to_string(discovery.size()) + "\n" + discovery + "\n";
        expected += "frame " + pid + " 2 0 0 0\n\n";
        expected += "frame " + pid + " 9 0 2 3\n" + std::string("a\0b", 3) + "\n";
    }
    EXPECT_EQ(expected, sim_read_file(path));
    ::unlink(path.c_str());
}

TEST(SimTranscript, RecordsRequestsThatGetNoReply) {
    const std::string path = sim_temp_path("transcript.txt");
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect("<scenario transcript=\"" + path +
                                      "\"><reply command=\"5\" action=\"silence\"/></scenario>"));
    ASSERT_TRUE(sim.send_request(5));
    ASSERT_TRUE(sim.send_request(6));
    EXPECT_TRUE(sim.stays_silent(100));
    sim.close_connection();
    ASSERT_EQ(0, sim.wait_exit());
    const std::string pid = std::to_string(sim.pid());
    EXPECT_EQ("frame " + pid + " 5 0 0 0\n\nframe " + pid + " 6 0 0 0\n\n", sim_read_file(path));
    ::unlink(path.c_str());
}

TEST(SimTranscript, UnwritablePathRefusesToStart) {
    SimProcess sim;
    ASSERT_TRUE(sim.start(R"(<scenario transcript="/nonexistent/dir/t.txt"/>)"));
    EXPECT_TRUE(sim.pipe_ends_without_data());
    EXPECT_EQ(2, sim.wait_exit());
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
        int32_t port = 0;
        ASSERT_TRUE(sim.start(SimStartOptions{c.scenario, c.env, err_path}));
        ASSERT_TRUE(sim.read_port(port));
        ASSERT_TRUE(sim.connect_to(port));
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

TEST(SimLog, BadVerbosityRefusesToStart) {
    SimProcess sim;
    ASSERT_TRUE(sim.start(SimStartOptions{{}, {"KELVRA_SIM_LOG=loud"}, "/dev/null"}));
    EXPECT_TRUE(sim.pipe_ends_without_data());
    EXPECT_EQ(2, sim.wait_exit());
}

}  // namespace
