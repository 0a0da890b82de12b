// The simulator replaying a backend trace, without the backend: traces written
// here record by record. What is no trace is refused with its line and the
// reason; each request is answered with the reply recorded after it, image
// bytes the trace left out with a counting pattern; breaks are played as
// recorded; the first request that differs ends the replay with both versions
// and exit status 3, except the cancel race the reader thread runs; and the
// k-th simulator of a process plays the k-th recorded connection.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>

#include "simulator/trace_reader.h"

using namespace kelvra_test;

namespace {

std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = 0;
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? uint8_t(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// Records in the backend's shape, of process `pid`.
std::string record(const std::string& fields, int pid = 7) {
    return R"({"time_us":1,"pid":)" + std::to_string(pid) + "," + fields + "}\n";
}
std::string session(int pid = 7, int version = 1) {
    return record(R"("event":"trace","thread":1,"version":)" + std::to_string(version) + R"(,"program":"test")", pid);
}
std::string start(int connection, int port = 4000, bool ok = true, int pid = 7) {
    return record(R"("event":"start","connection":)" + std::to_string(connection) + R"(,"manager_pid":9,"port":)" +
                      std::to_string(port) + R"(,"status":)" + (ok ? R"("SANE_STATUS_GOOD")" : R"("SANE_STATUS_IO_ERROR")"),
                  pid);
}
std::string frame(int connection, const char* way, uint32_t command, uint32_t kind, uint64_t length, uint64_t bytes,
                  const std::string& payload = "", int pid = 7) {
    return record(R"("event":"frame","connection":)" + std::to_string(connection) + R"(,"way":")" + way +
                      R"(","command":)" + std::to_string(command) + R"(,"direction":)" +
                      (std::string(way) == "sent" ? "0" : "1") + R"(,"kind":)" + std::to_string(kind) +
                      R"(,"length":)" + std::to_string(length) + R"(,"bytes":)" + std::to_string(bytes) + payload,
                  pid);
}
std::string request(int connection, uint32_t command, const std::string& xml = "", int pid = 7) {
    return frame(connection, "sent", command, xml.empty() ? 0 : 1, xml.size(), xml.size(),
                 xml.empty() ? "" : R"(,"text":)" + quoted(xml), pid);
}
std::string xml_reply(int connection, uint32_t command, const std::string& xml, int pid = 7) {
    return frame(connection, "received", command, 1, xml.size(), xml.size(), R"(,"text":)" + quoted(xml), pid);
}
std::string bare_reply(int connection, uint32_t command) { return frame(connection, "received", command, 0, 0, 0); }
std::string image_reply(int connection, const std::string& bytes, bool with_bytes) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(kelvra_sim::fnv1a64(bytes)));
    return frame(connection, "received", 6, 2, bytes.size(), bytes.size(),
                 R"(,"fnv1a64":")" + std::string(hex) + "\"" + (with_bytes ? R"(,"base64":")" + base64(bytes) + "\"" : ""));
}
std::string broken(int connection, const std::string& stage, uint64_t got, const std::string& cause) {
    return record(R"("event":"failure","connection":)" + std::to_string(connection) +
                  R"(,"way":"received","stage":")" + stage + R"(","got":)" + std::to_string(got) + R"(,"cause":")" +
                  cause + "\"" + (stage == "payload" ? R"(,"command":6,"direction":1,"kind":2,"length":100)" : ""));
}
std::string status_xml(const char* attribute, int value) {
    return "<status " + std::string(attribute) + "=\"" + std::to_string(value) + "\"/>";
}

TEST(SimTraceReader, RefusesWhatIsNoTraceWithTheLineAndTheReason) {
    const std::string opened = session() + start(1);
    const struct {
        std::string text, error;
    } cases[] = {
        {"", "no \"trace\" record"},
        {session() + start(1).substr(0, 40), "line 2: cut short"},
        {session(7, 2), "line 1: format version 2 is newer than this kelvra-sim reads (1)"},
        {session(7, 0), "line 1: format version 0 does not exist"},
        {"[1,2]\n", "line 1: not a JSON object"},
        {session() + "{\"a\":[[[[[1]]]]]}\n", "line 2: not a trace record (nested too deep)"},
        {start(1), "line 1: a record of process 7 before its \"trace\" record"},
        {R"({"time_us":5,"pid":9,"event":"start","scenario":"","strict":true})" "\n", "a transcript of kelvra-sim"},
        {session() + request(1, 2), "line 2: connection 1 has no \"start\" record before"},
        {opened + start(1), "line 3: connection 1 starts a second time"},
        {session() + start(0), "connection 0 does not exist"},
        {opened + record(R"("event":"frame","connection":1,"way":"sent","command":2,"direction":0,"length":0,"bytes":0)"),
         "line 3: a \"frame\" record without \"kind\""},
        {opened + record(R"("event":"frame","connection":1,"way":"sent","command":2,"direction":0,"kind":0,"length":"0","bytes":0)"),
         "\"length\" is not a number"},
        {opened + record(R"("event":"frame","connection":1,"way":"up","command":2,"direction":0,"kind":0,"length":0,"bytes":0)"),
         "\"way\" is neither"},
        {opened + frame(1, "sent", 3, 1, 4, 5, R"(,"text":"abcde")"), "\"bytes\" is more than \"length\""},
        {opened + frame(1, "sent", 3, 1, 5, 5, R"(,"text":"abc")"), "the payload holds 3 bytes, \"bytes\" says 5"},
        {opened + frame(1, "received", 3, 1, 3, 3, R"(,"base64":"ab=c")"), "\"base64\" is not base64"},
        {opened + frame(1, "received", 3, 1, 3, 3), "a payload of 3 bytes without its \"text\" or \"base64\""},
        {opened + frame(1, "received", 6, 2, 3, 3), "a \"frame\" record without \"fnv1a64\""},
        {opened + frame(1, "received", 6, 2, 3, 3, R"(,"fnv1a64":"0123456789abcdef","base64":"YWJj")"),
         "the image bytes do not match their checksum"},
        {opened + frame(1, "received", 6, 2, 3, 3, R"(,"fnv1a64":"xyz")"), "\"fnv1a64\" is not 16 hexadecimal digits"},
        {session() + start(1, -1, false) + request(1, 2), "whose start failed"},
        {opened + broken(1, "header", 21, "closed"), "\"got\" is more than there was to get"},
        {opened + record(R"("event":"frame","connection":1,"way":"sent","command":2,"direction":0,"kind":0,"length":5,"bytes":5,"header_bytes":7,"text":"abcde")"),
         "a payload after a header cut short"},
        {R"({"pid":1,"event":"a\nb"})" "\n", "line 1: a \"a?b\" record without \"time_us\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 300));
        kelvra_sim::Trace trace;
        std::string error;
        EXPECT_FALSE(kelvra_sim::read_trace(c.text, trace, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// Two processes' sessions interleaved in one file, read with the payloads of
// one connection kept: every frame in order, text and base64 decoded, an image
// whose bytes the trace left out as its size alone, the break, and records and
// fields a reader does not know passed over.
TEST(SimTraceReader, ReadsSessionsAndKeepsOneConnectionsPayloads) {
    const std::string image = std::string("\x00\x01\xfe\xff", 4) + "pixels";
    const std::string text = session(7) + session(8) + start(1, 4000, true, 8) + start(1) + start(2) +
                             request(1, 0, "<device_discovery/>", 8) + request(2, 3, "<scan_parameter/>") +
                             record(R"("event":"call","call":"sane_kelvra_start","handle":2,"future":[1,2])") +
                             record(R"("event":"someday","connection":2)") +
                             xml_reply(2, 3, "<image_info/>") + request(2, 6) + image_reply(2, image, true) +
                             request(2, 6) + image_reply(2, image, false) + request(2, 6) +
                             broken(2, "payload", 40, "time limit") + start(3, -1, false) +
                             "{\"time_us\":9,\"pid\":7,\"event\":\"exit\",\"connection\":2,\"exit_status\":0}";  // no line feed
    kelvra_sim::Trace trace;
    std::string error;
    ASSERT_TRUE(kelvra_sim::read_trace(text, trace, error, {1, 2})) << error;
    ASSERT_EQ(trace.sessions.size(), 2u);
    EXPECT_EQ(trace.sessions[0].pid, 7);
    EXPECT_EQ(trace.sessions[1].connections.size(), 1u);
    EXPECT_FALSE(trace.sessions[1].connections[0].steps.at(0).frame.payload) << "another connection's payload kept";
    ASSERT_EQ(trace.sessions[0].connections.size(), 3u);
    EXPECT_TRUE(trace.sessions[0].connections[0].steps.empty());
    EXPECT_FALSE(trace.sessions[0].connections[2].started);
    const auto& steps = trace.sessions[0].connections[1].steps;
    using Kind = kelvra_sim::TracedStep::Kind;
    ASSERT_EQ(steps.size(), 8u);
    const Kind kinds[] = {Kind::request, Kind::reply, Kind::request, Kind::reply,
                          Kind::request, Kind::reply, Kind::request, Kind::broken};
    for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(steps[i].kind, kinds[i]) << i;
    EXPECT_EQ(steps[0].frame.payload.value_or("?"), "<scan_parameter/>");
    EXPECT_EQ(steps[1].frame.payload.value_or("?"), "<image_info/>");
    EXPECT_EQ(steps[3].frame.payload.value_or("?"), image);
    EXPECT_FALSE(steps[5].frame.payload) << "the bytes the trace left out";
    EXPECT_EQ(steps[5].frame.bytes, image.size());
    EXPECT_TRUE(steps[7].broken.header && steps[7].broken.got == 40 && steps[7].broken.backend_ended);
}

// A simulator replaying `trace` (written to a file of its own), as the backend starts it.
struct Replayer {
    std::string path = sim_temp_path("trace.jsonl"), err_path = sim_temp_path("stderr");
    SimProcess sim;
    explicit Replayer(const std::string& trace, std::vector<std::string> env = {}) {
        std::ofstream(path, std::ios::binary) << trace;
        env.push_back("KELVRA_SIM_REPLAY=" + path);
        started = sim.start({"", env, err_path});
    }
    ~Replayer() {
        for (const std::string& p : {path, path + ".replay", err_path}) ::unlink(p.c_str());
    }
    std::string errors() const { return sim_read_file(err_path); }
    bool started;
};

// Each request gets the reply recorded after it, as it was, and image bytes
// the trace left out a counting pattern of their length.
TEST(SimReplay, AnswersEachRequestWithTheReplyRecordedAfterIt) {
    const std::string image = "\x10\x20\x30 image";
    Replayer replay(session() + start(1) + request(1, 0, "<device_discovery/>") +
                    xml_reply(1, 0, "<devices><device name=\"x\"/></devices>") + request(1, 6) +
                    image_reply(1, image, true) + request(1, 6) + image_reply(1, std::string(300, 'q'), false) +
                    request(1, 5) + bare_reply(1, 5));
    int32_t port = 0;
    ASSERT_TRUE(replay.started && replay.sim.read_port(port) && replay.sim.connect_to(port));
    std::string payload, pattern;
    uint32_t kind = 9;
    ASSERT_TRUE(replay.sim.exchange(0, "<device_discovery/>", payload, &kind));
    EXPECT_EQ(payload, "<devices><device name=\"x\"/></devices>");
    EXPECT_EQ(kind, 1u);
    ASSERT_TRUE(replay.sim.exchange(6, "", payload, &kind));
    EXPECT_EQ(payload, image);
    EXPECT_EQ(kind, 2u);
    ASSERT_TRUE(replay.sim.exchange(6, "", payload));
    for (int i = 0; i < 300; ++i) pattern += char(i & 0xFF);
    EXPECT_EQ(payload, pattern);
    ASSERT_TRUE(replay.sim.exchange(5, "", payload, &kind));
    EXPECT_TRUE(payload.empty() && kind == 0);
    replay.sim.close_connection();
    EXPECT_EQ(replay.sim.wait_exit(), 0) << replay.errors();
}

// The first request that differs ends the replay, naming the request, its
// line in the trace and both versions; so does a backend that stops short of
// the recording or goes on past it.
TEST(SimReplay, TheFirstRequestThatDiffersEndsTheReplayWithBothVersions) {
    const std::string recorded = session() + start(1) + request(1, 1, "<device model=\"A\"/>") +
                                 xml_reply(1, 1, "<device_capability/>") + request(1, 2) + bare_reply(1, 2);
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, std::string>> requests;  // sent in turn; the last one gets no reply
        std::string message;
    } cases[] = {
        {"xml", {{1, "<device model=\"B\"/>"}},
         "request 1 (trace line 3) differs from the recording: the payloads differ from byte 15\n"
         "  recorded: command 1 (open-device), direction 0, kind 1, length 19: <device model=\"A\"/>\n"
         "  received: command 1 (open-device), direction 0, kind 1, length 19: <device model=\"B\"/>"},
        {"command", {{1, "<device model=\"A\"/>"}, {5, ""}},
         "request 2 (trace line 5) differs from the recording: another command (5, recorded 2)"},
        {"length", {{1, "<device model=\"AB\"/>"}}, "another length (20, recorded 19), the payloads differ from byte 16"},
        {"after the end", {{1, "<device model=\"A\"/>"}, {2, ""}, {2, ""}},
         "request 3 comes after the last frame the recording has\n  recorded: nothing more"},
        {"closed early", {{1, "<device model=\"A\"/>"}},
         "the backend closed the connection where the recording has request 2\n"
         "  recorded: command 2 (close-device), direction 0, kind 0, length 0\n  received: the end of the connection"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Replayer replay(recorded);
        int32_t port = 0;
        ASSERT_TRUE(replay.started && replay.sim.read_port(port) && replay.sim.connect_to(port));
        std::string payload;
        const bool closes = std::string(c.name) == "closed early";
        for (size_t i = 0; i < c.requests.size(); ++i) {
            const bool last = i + 1 == c.requests.size();
            EXPECT_EQ(replay.sim.exchange(c.requests[i].first, c.requests[i].second, payload), !last || closes)
                << "request " << i + 1;
        }
        if (closes) replay.sim.close_connection();
        EXPECT_EQ(replay.sim.wait_exit(), 3);
        EXPECT_NE(replay.errors().find(c.message), std::string::npos) << replay.errors();
    }
}

// The reader thread notices a cancel between two of its read requests, sooner
// or later than when the trace was recorded: an end-scan where the recording
// has more reads skips them; a read more than the recording has before its
// end-scan hears that the job is over. Anything else still differs.
TEST(SimReplay, TheReadersCancelRaceIsForgivenAndNothingElse) {
    const std::string opened = session() + start(1) + request(1, 4) + xml_reply(1, 4, status_xml("scan_status", 0));
    const std::string reads_then_end = opened + request(1, 6) + image_reply(1, "abc", true) + request(1, 6) +
                                       xml_reply(1, 6, status_xml("read_status", 2)) + request(1, 5) + bare_reply(1, 5);
    const std::string end_at_once = opened + request(1, 6) + image_reply(1, "abc", true) + request(1, 5) + bare_reply(1, 5);
    const struct {
        const char* name;
        std::string trace;
        std::vector<uint32_t> commands;             // the requests, in turn
        std::vector<std::string> replies;           // what each gets; "-" for none
        int status;
    } cases[] = {
        {"end-scan sooner", reads_then_end, {4, 5}, {status_xml("scan_status", 0), ""}, 0},
        {"end-scan after the first read", reads_then_end, {4, 6, 5}, {status_xml("scan_status", 0), "abc", ""}, 0},
        {"a read more", end_at_once, {4, 6, 6, 5},
         {status_xml("scan_status", 0), "abc", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + status_xml("read_status", 2) + "\n", ""}, 0},
        {"a close instead of the reads", reads_then_end, {4, 2}, {status_xml("scan_status", 0), "-"}, 3},
        {"an end-scan before the start", reads_then_end, {5}, {"-"}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Replayer replay(c.trace);
        int32_t port = 0;
        ASSERT_TRUE(replay.started && replay.sim.read_port(port) && replay.sim.connect_to(port));
        for (size_t i = 0; i < c.commands.size(); ++i) {
            std::string payload;
            const bool answered = replay.sim.exchange(c.commands[i], "", payload);
            EXPECT_EQ(answered, c.replies[i] != "-") << "request " << i + 1;
            if (answered) {
                EXPECT_EQ(payload, c.replies[i]) << "request " << i + 1;
            }
        }
        replay.sim.close_connection();
        EXPECT_EQ(replay.sim.wait_exit(), c.status) << replay.errors();
    }
}

// Where the recording broke off, the replay does too: the part of the frame
// that arrived, then the end of the connection, or silence where the backend
// stopped waiting. A start that failed fails again.
TEST(SimReplay, BreaksAndFailedStartsArePlayedAsRecorded) {
    const std::string opened = session() + start(1) + request(1, 6);
    const struct {
        const char* name;
        std::string trace;
        size_t bytes;  // of the reply that arrive
        bool silent;   // the connection stays open, unanswered
    } cases[] = {
        {"closed in the header", opened + broken(1, "header", 7, "closed"), 7, false},
        {"closed in the payload", opened + broken(1, "payload", 40, "closed"), 20 + 40, false},
        {"refused by the reset", opened + broken(1, "header", 0, "ECONNRESET"), 0, false},
        {"time limit", opened + broken(1, "header", 0, "time limit"), 0, true},
        {"cut by the backend", opened + broken(1, "payload", 10, "cut"), 30, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Replayer replay(c.trace);
        int32_t port = 0;
        ASSERT_TRUE(replay.started && replay.sim.read_port(port) && replay.sim.connect_to(port));
        const kelvra_sim::FrameHeader read{6, 0, 0, 0};
        ASSERT_TRUE(replay.sim.send_raw(std::string(reinterpret_cast<const char*>(&read), sizeof read)));
        bool ended = false;
        EXPECT_EQ(replay.sim.receive_until_end(c.silent ? 300 : 5000, &ended).size(), c.bytes);
        EXPECT_EQ(ended, !c.silent);
        EXPECT_EQ(replay.sim.wait_exit(c.silent ? 0 : 5000), c.silent ? -1 : 0) << replay.errors();
        replay.sim.close_connection();
        EXPECT_EQ(replay.sim.wait_exit(), 0) << replay.errors();
    }
    for (const bool port_reported : {false, true}) {
        SCOPED_TRACE(port_reported ? "the connect failed" : "no port");
        Replayer replay(session() + start(1, port_reported ? 4000 : -1, false));
        int32_t port = 0;
        ASSERT_TRUE(replay.started);
        EXPECT_EQ(replay.sim.read_port(port), port_reported);
        if (port_reported) {
            EXPECT_FALSE(replay.sim.connect_to(port)) << "nothing listens at the port reported";
        }
        EXPECT_EQ(replay.sim.wait_exit(), 0);
    }
}

}  // namespace

namespace {

// The simulators one process starts for a trace play its connections in turn
// (counted in TRACE.replay), in the session KELVRA_SIM_REPLAY_SESSION names;
// one more than were recorded says so and reports no port.
TEST(SimReplay, EachSimulatorOfAProcessPlaysTheNextRecordedConnection) {
    const std::string trace = session(7) + start(1) + start(2) + request(1, 0, "<a/>") + xml_reply(1, 0, "<first/>") +
                              request(2, 0, "<a/>") + xml_reply(2, 0, "<second/>") + session(8) + start(1, 4000, true, 8) +
                              request(1, 0, "<a/>", 8) + xml_reply(1, 0, "<other/>", 8);
    const std::string path = sim_temp_path("trace.jsonl"), err_path = sim_temp_path("stderr");
    std::ofstream(path, std::ios::binary) << trace;
    const struct {
        std::string session;  // KELVRA_SIM_REPLAY_SESSION
        std::string reply;    // to the discovery request; empty: no port
        int status;
        std::string message;
    } simulators[] = {
        {"", "<first/>", 0, ""},
        {"1", "<second/>", 0, ""},
        {"", "", 3, "the recorded session (test, pid 7) started 2 scan-manager(s), this is number 3"},
        {"2", "", 3, "started 1 scan-manager(s), this is number 4"},
        {"3", "", 2, "holds 2 session(s): there is no session 3"},
        {"x", "", 2, "KELVRA_SIM_REPLAY_SESSION must be a session number from 1"},
    };
    for (const auto& s : simulators) {
        SCOPED_TRACE("session " + s.session + " " + s.reply);
        SimProcess sim;
        ASSERT_TRUE(sim.start({"", {"KELVRA_SIM_REPLAY=" + path, "KELVRA_SIM_REPLAY_SESSION=" + s.session}, err_path}));
        int32_t port = 0;
        std::string reply;
        EXPECT_EQ(sim.read_port(port) && sim.connect_to(port) && sim.exchange(0, "<a/>", reply), !s.reply.empty());
        EXPECT_EQ(reply, s.reply);
        sim.close_connection();
        EXPECT_EQ(sim.wait_exit(), s.status);
        EXPECT_NE(sim_read_file(err_path).find(s.message), std::string::npos) << sim_read_file(err_path);
    }
    // Another process (this one's child) counts afresh: it plays connection 1.
    if (const pid_t child = ::fork(); child == 0) {
        SimProcess sim;
        int32_t port = 0;
        std::string reply;
        _exit(sim.start({"", {"KELVRA_SIM_REPLAY=" + path}, err_path}) && sim.read_port(port) && sim.connect_to(port) &&
                      sim.exchange(0, "<a/>", reply) && reply == "<first/>"
                  ? 0
                  : 1);
    } else {
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(status, 0) << "a second process did not start at the first connection";
    }
    for (const std::string& p : {path, path + ".replay", err_path}) ::unlink(p.c_str());
}

// kelvra-sim --replay TRACE says what the trace holds, or in one line why it
// is no trace; a scenario names a trace relative to its folder, and takes no
// devices or faults beside it.
TEST(SimReplay, DescribesATraceAndRefusesAScenarioThatMixesAReplayWithDevices) {
    const std::string folder = sim_temp_path("replay");
    std::filesystem::create_directory(folder);
    std::ofstream(folder + "/good.jsonl") << session() + start(1) + start(2, -1, false) + request(1, 0, "<a/>") +
                                                 xml_reply(1, 0, "<b/>") + request(1, 6) + request(1, 6) +
                                                 broken(1, "header", 0, "time limit");
    std::ofstream(folder + "/bad.jsonl") << session() + "{\"time_us\":";
    const auto run = [](const std::string& arguments, int& status) {
        std::string output;
        FILE* out = ::popen((std::string(KELVRA_TEST_SIM) + " " + arguments + " 2>&1").c_str(), "r");
        for (char buffer[4096]; size_t n = std::fread(buffer, 1, sizeof buffer, out);) output.append(buffer, n);
        status = WEXITSTATUS(::pclose(out));
        return output;
    };
    int status = -1;
    EXPECT_EQ(run("--replay " + folder + "/good.jsonl", status),
              folder + "/good.jsonl: 1 session(s)\n"
                       "session 1 (line 1): test, pid 7, image bytes left out, 2 connection(s)\n"
                       "  connection 1 (line 2): requests: 1 discovery, 2 read-image; 1 replies, the backend gave up waiting\n"
                       "  connection 2 (line 3): requests: none; 0 replies, its start failed\n");
    EXPECT_EQ(status, 0);
    const std::string bad = run("--replay " + folder + "/bad.jsonl", status);
    EXPECT_NE(bad.find("bad trace: " + folder + "/bad.jsonl: line 2: cut short"), std::string::npos) << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 1) << bad;
    EXPECT_EQ(status, 2);

    std::ofstream(folder + "/mixed.xml") << "<scenario replay=\"good.jsonl\"><device name=\"a\"/></scenario>";
    std::ofstream(folder + "/replay.xml") << "<scenario replay=\"good.jsonl\"/>";
    const std::string err_path = folder + "/stderr";
    SimProcess mixed, relative;
    int32_t port = 0;
    ASSERT_TRUE(mixed.start({"", {"KELVRA_SIM_SCENARIO=" + folder + "/mixed.xml"}, err_path}));
    EXPECT_EQ(mixed.wait_exit(), 2);
    EXPECT_NE(sim_read_file(err_path).find("a replay takes every answer from the trace"), std::string::npos);
    ASSERT_TRUE(relative.start({"", {"KELVRA_SIM_SCENARIO=" + folder + "/replay.xml"}, err_path}));
    std::string reply;
    EXPECT_TRUE(relative.read_port(port) && relative.connect_to(port) && relative.exchange(0, "<a/>", reply));
    EXPECT_EQ(reply, "<b/>");
    std::filesystem::remove_all(folder);
}

}  // namespace
