// Faults the simulator injects on demand: scripted replies of every action,
// the start-up handshake faults, and faults in the middle of a page.
#include "simulator/pages.h"
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

std::string scenario(const std::string& body, const std::string& root_attributes = "") {
    return "<scenario " + root_attributes + ">" + body + "</scenario>";
}

std::string filler(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = char(uint8_t(i));
    return bytes;
}

std::string page_range(uint32_t width, uint32_t height, uint32_t page, uint64_t offset, uint64_t count) {
    kelvra_sim::PageGeometry g{width, height, width, 1};
    std::string bytes(count, '\0');
    kelvra_sim::page_bytes(g, page, offset, reinterpret_cast<uint8_t*>(bytes.data()), count);
    return bytes;
}

std::string status_of(const SimFrame& frame, const char* attribute) {
    SimXml doc;
    if (frame.kind != 1 || !parse_sim_xml(frame.payload, doc) || doc.name != "status") return "none";
    return doc[attribute];
}

// -------------------------------------------------------- scripted replies

struct ScriptCase {
    const char* label;
    const char* reply_element;  // inside <scenario>
    uint32_t command;           // the request sent (without payload)
    SimFrame expected;          // what must arrive
};

class SimScriptedReply : public testing::TestWithParam<ScriptCase> {};

const ScriptCase script_cases[] = {
    {"body_attribute", R"(<reply command="2" body="&lt;ack/&gt;"/>)", 2, {2, 1, 1, 6, "<ack/>"}},
    {"body_cdata", R"(<reply command="4"><![CDATA[<status scan_status="3"/>]]></reply>)", 4,
     {4, 1, 1, 25, R"(<status scan_status="3"/>)"}},
    {"empty_body", R"(<reply command="4" body=""/>)", 4, {4, 1, 1, 0, ""}},
    {"body_size_keeps_ack_kind", R"(<reply command="2" body_size="5"/>)", 2, {2, 1, 0, 5, filler(5)}},
    {"header_command", R"(<reply command="5" header_command="3"/>)", 5, {3, 1, 0, 0, ""}},
    {"direction", R"(<reply command="5" direction="0"/>)", 5, {5, 0, 0, 0, ""}},
    {"kind", R"(<reply command="2" kind="1"/>)", 2, {2, 1, 1, 0, ""}},
    {"kind_and_body", R"(<reply command="6" body="abc" kind="7"/>)", 6, {6, 1, 7, 3, "abc"}},
    {"unknown_command", R"(<reply command="42" body="x"/>)", 42, {42, 1, 1, 1, "x"}},
};

TEST_P(SimScriptedReply, ReplacesTheComputedReply) {
    const ScriptCase& c = GetParam();
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(c.reply_element)));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(c.command, {}, reply));
    EXPECT_EQ(c.expected.command, reply.command);
    EXPECT_EQ(c.expected.direction, reply.direction);
    EXPECT_EQ(c.expected.kind, reply.kind);
    EXPECT_EQ(c.expected.length, reply.length);
    EXPECT_EQ(c.expected.payload, reply.payload);
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimScriptedReply, testing::ValuesIn(script_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SimScriptedReplies, LengthOverrideAnnouncesMoreThanIsSent) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="4" body="abc" length="10"/>)")));
    ASSERT_TRUE(sim.send_request(4));
    uint8_t bytes[23];
    ASSERT_EQ(SimRead::frame, sim.read_exact(bytes, 23));
    uint64_t length;
    std::memcpy(&length, bytes + 12, 8);
    EXPECT_EQ(10u, length);
    EXPECT_EQ(0, std::memcmp(bytes + 20, "abc", 3));
    EXPECT_TRUE(sim.stays_silent(50));
}

TEST(SimScriptedReplies, NthCountsOnlyRequestsOfItsCommand) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="5" nth="2" body="second"/>)")));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(5, {}, reply));
    EXPECT_EQ(0u, reply.length) << "first end-scan request";
    ASSERT_TRUE(sim.exchange(2, {}, reply));
    ASSERT_TRUE(sim.exchange(2, {}, reply));
    EXPECT_EQ(0u, reply.length) << "close requests do not count for command 5";
    ASSERT_TRUE(sim.exchange(5, {}, reply));
    EXPECT_EQ("second", reply.payload);
    ASSERT_TRUE(sim.exchange(5, {}, reply));
    EXPECT_EQ(0u, reply.length) << "third end-scan request";
}

TEST(SimScriptedReplies, WithoutNthEveryRequestIsScriptedAndNthWins) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(
        scenario(R"(<reply command="5" body="every"/><reply command="5" nth="3" body="third"/>)")));
    std::vector<std::string> payloads;
    for (int i = 0; i < 4; ++i) {
        SimFrame reply;
        ASSERT_TRUE(sim.exchange(5, {}, reply));
        payloads.push_back(reply.payload);
    }
    EXPECT_EQ((std::vector<std::string>{"every", "every", "third", "every"}), payloads);
}

TEST(SimScriptedReplies, ScriptedReadReplyLeavesThePageWhereItWas) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(
        R"(<reply command="6" nth="1" body_size="3"/><reply command="6" nth="3" body="&lt;status/&gt;"/>)",
        R"(piece_size="100")")));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request(sim_builtin_device("fb-a4")), reply));
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 20, 10), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(2u, reply.kind) << "filler in place of an image piece keeps the image kind";
    EXPECT_EQ(filler(3), reply.payload);
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_TRUE(reply.payload == page_range(20, 10, 1, 0, 100)) << "the page starts after the filler";
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(1u, reply.kind);
    EXPECT_EQ("<status/>", reply.payload);
    const SimPage rest = sim_read_page(sim);
    EXPECT_TRUE(rest.bytes == page_range(20, 10, 1, 100, 100)) << "nothing lost to the scripted status";
    EXPECT_EQ("2", status_of(rest.end, "read_status"));
}

TEST(SimScriptedReplies, ScriptedStartStillStartsTheJob) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="4" body="&lt;status/&gt;"/>)")));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 20, 10), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    EXPECT_EQ("<status/>", reply.payload);
    const SimPage page = sim_read_page(sim);
    EXPECT_TRUE(page.bytes == page_range(20, 10, 1, 0, 200));
}

TEST(SimScriptedReplies, SilenceAnswersNothingMoreUntilTheConnectionCloses) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="2" nth="2" action="silence"/>)")));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(2, {}, reply));
    ASSERT_TRUE(sim.send_request(2));
    EXPECT_TRUE(sim.stays_silent(150));
    ASSERT_TRUE(sim.send_request(5));
    ASSERT_TRUE(sim.send_request(0, sim_discovery_request({})));
    EXPECT_TRUE(sim.stays_silent(150)) << "later requests are ignored too";
    EXPECT_EQ(-1, sim.wait_exit(0)) << "still running while the connection is open";
    const auto closed_at = Clock::now();
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(2000));
    EXPECT_LT(elapsed_ms(closed_at), 1000);
}

TEST(SimScriptedReplies, CloseEndsTheConnectionWithoutAReply) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="3" action="close"/>)")));
    ASSERT_TRUE(sim.send_request(3, sim_scan_request(0, 0, 1, 10, 10)));
    EXPECT_TRUE(sim.connection_closed());
    EXPECT_EQ(0, sim.wait_exit());
}

TEST(SimScriptedReplies, ExitEndsTheProcessAtOnce) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="0" action="exit"/>)")));
    ASSERT_TRUE(sim.send_request(0, sim_discovery_request({})));
    EXPECT_TRUE(sim.connection_closed());
    EXPECT_EQ(0, sim.wait_exit());
}

struct CutCase {
    const char* label;
    const char* reply_element;
    size_t bytes;  // what arrives before the connection closes
};

class SimCutReply : public testing::TestWithParam<CutCase> {};

const CutCase cut_cases[] = {
    {"mid_header_default", R"(<reply command="4" action="close-mid-header"/>)", 7},
    {"mid_header_3", R"(<reply command="4" action="close-mid-header" bytes="3"/>)", 3},
    {"mid_header_0", R"(<reply command="4" action="close-mid-header" bytes="0"/>)", 0},
    {"mid_payload", R"(<reply command="4" action="close-mid-payload" body="0123456789"/>)", 25},
    {"mid_payload_computed", R"(<reply command="4" action="close-mid-payload"/>)", 20 + 64 / 2},
};

TEST_P(SimCutReply, SendsPartOfTheFrameThenClosesAndExits) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(GetParam().reply_element)));
    ASSERT_TRUE(sim.send_request(4));
    std::string received(GetParam().bytes, '\0');
    ASSERT_EQ(SimRead::frame, sim.read_exact(received.data(), received.size()));
    EXPECT_TRUE(sim.connection_closed()) << "nothing more than " << GetParam().bytes << " bytes";
    if (received.size() >= 4) {
        uint32_t command;
        std::memcpy(&command, received.data(), 4);
        EXPECT_EQ(4u, command);
    }
    EXPECT_EQ(0, sim.wait_exit());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimCutReply, testing::ValuesIn(cut_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SimScriptedReplies, SplitSendsTheHeaderInTwoPiecesWithAPause) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="4" action="split"/>)")));
    ASSERT_TRUE(sim.send_request(4));
    uint8_t first[7];
    ASSERT_EQ(SimRead::frame, sim.read_exact(first, 7));
    const auto after_first = Clock::now();
    EXPECT_TRUE(sim.stays_silent(25)) << "the rest of the header waits";
    uint8_t rest[13];
    ASSERT_EQ(SimRead::frame, sim.read_exact(rest, 13));
    EXPECT_GE(elapsed_ms(after_first), 40);
    uint8_t header[20];
    std::memcpy(header, first, 7);
    std::memcpy(header + 7, rest, 13);
    uint64_t length;
    std::memcpy(&length, header + 12, 8);
    std::string payload(length, '\0');
    ASSERT_EQ(SimRead::frame, sim.read_exact(payload.data(), payload.size()));
    EXPECT_NE(std::string::npos, payload.find("scan_status=\"0\""));
    SimFrame next;
    EXPECT_TRUE(sim.exchange(5, {}, next)) << "the connection goes on";
}

TEST(SimScriptedReplies, DelayPostponesTheReply) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="2" delay_ms="300"/>)")));
    const auto sent_at = Clock::now();
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(2, {}, reply));
    EXPECT_GE(elapsed_ms(sent_at), 290);
    EXPECT_EQ(2u, reply.command);
}

TEST(SimScriptedReplies, ClosingDuringALongDelayEndsTheProcessPromptly) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="2" delay_ms="60000"/>)")));
    ASSERT_TRUE(sim.send_request(2));
    EXPECT_TRUE(sim.stays_silent(100));
    const auto closed_at = Clock::now();
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(3000));
    EXPECT_LT(elapsed_ms(closed_at), 1500);
}

// ------------------------------------------------------------ start-up faults

// The start-up faults themselves (port -1, port_add, exit, hang, unbound) are
// exercised through the backend in the connection tests.
TEST(SimStartup, PortIsReportedAsFourNativeBytesAndThePipeIsClosed) {
    SimProcess sim;
    ASSERT_TRUE(sim.start());
    int32_t port = 0;
    ASSERT_TRUE(sim.read_port(port));
    EXPECT_GT(port, 0);
    EXPECT_LT(port, 65536);
    EXPECT_TRUE(sim.pipe_ends_without_data()) << "nothing follows the port";
    ASSERT_TRUE(sim.connect_to(port));
}

// ---------------------------------------------------------------- page faults

// A feeder job of 3 sheets, 40x25 grey pages (1000 bytes), 300-byte pieces.
class SimPageFault : public testing::Test {
protected:
    bool start_job(const std::string& faults) {
        if (!sim.start_and_connect(scenario(faults, R"(piece_size="300")"))) return false;
        SimFrame reply;
        return sim.exchange(1, sim_open_request(sim_builtin_device("mfp-adf")), reply) &&
               sim.exchange(3, sim_scan_request(1, 0, 1, 40, 25), reply) && sim.exchange(4, {}, reply) &&
               status_of(reply, "scan_status") == "0";
    }
    SimProcess sim;
};

TEST_F(SimPageFault, JamAtByteOfPageTwoSendsExactlyThoseBytes) {
    ASSERT_TRUE(start_job(R"(<page number="2" at_byte="650" read_status="4"/>)"));
    const SimPage first = sim_read_page(sim);
    EXPECT_TRUE(first.bytes == page_range(40, 25, 1, 0, 1000));
    EXPECT_EQ("1", status_of(first.end, "read_status"));
    const SimPage second = sim_read_page(sim);
    EXPECT_EQ((std::vector<uint64_t>{300, 300, 50}), second.pieces);
    EXPECT_TRUE(second.bytes == page_range(40, 25, 2, 0, 650));
    EXPECT_EQ("4", status_of(second.end, "read_status"));
    EXPECT_EQ("2", status_of(sim_read_page(sim).end, "read_status")) << "the jam ended the job";
}

struct StatusFaultCase {
    const char* label;
    const char* fault;
    size_t bytes_before;
    const char* status;
    const char* next_status;  // of the read after the fault
    size_t next_bytes;        // image bytes before that status
};

class SimStatusFault : public SimPageFault, public testing::WithParamInterface<StatusFaultCase> {};

const StatusFaultCase status_faults[] = {
    {"cancel_at_start", R"(<page number="1" read_status="3"/>)", 0, "3", "2", 0},
    {"unknown_status", R"(<page number="1" at_byte="999" read_status="7"/>)", 999, "7", "2", 0},
    {"page_short_then_next", R"(<page number="1" at_byte="10" read_status="1"/>)", 10, "1", "1", 1000},
    {"job_short", R"(<page number="1" at_byte="10" read_status="2"/>)", 10, "2", "2", 0},
    {"past_the_end_replaces_the_status", R"(<page number="1" at_byte="5000" read_status="4"/>)", 1000, "4", "2", 0},
};

TEST_P(SimStatusFault, ReplacesDataWithTheStatus) {
    const StatusFaultCase& c = GetParam();
    ASSERT_TRUE(start_job(c.fault));
    const SimPage page = sim_read_page(sim);
    EXPECT_TRUE(page.bytes == page_range(40, 25, 1, 0, c.bytes_before));
    EXPECT_EQ(c.status, status_of(page.end, "read_status"));
    const SimPage next = sim_read_page(sim);
    EXPECT_EQ(c.next_bytes, next.bytes.size());
    EXPECT_EQ(c.next_status, status_of(next.end, "read_status"));
    if (c.next_bytes > 0) {
        EXPECT_TRUE(next.bytes == page_range(40, 25, 2, 0, 1000));
    }
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimStatusFault, testing::ValuesIn(status_faults),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(SimPageFault, CloseAfterSomeBytes) {
    ASSERT_TRUE(start_job(R"(<page number="1" at_byte="400" action="close"/>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(100u, reply.length);
    ASSERT_TRUE(sim.send_request(6));
    EXPECT_TRUE(sim.connection_closed());
    EXPECT_EQ(0, sim.wait_exit());
}

TEST_F(SimPageFault, SilenceKeepsTheConnectionOpenWithoutReplies) {
    ASSERT_TRUE(start_job(R"(<page number="3" action="silence"/>)"));
    sim_read_page(sim);
    sim_read_page(sim);
    ASSERT_TRUE(sim.send_request(6));
    EXPECT_TRUE(sim.stays_silent(200));
    ASSERT_TRUE(sim.send_request(5));
    EXPECT_TRUE(sim.stays_silent(100));
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit(2000));
}

TEST_F(SimPageFault, MalformedReplyIsXmlThatDoesNotParse) {
    ASSERT_TRUE(start_job(R"(<page number="1" at_byte="300" action="malformed"/>)"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(6u, reply.command);
    EXPECT_EQ(1u, reply.kind);
    EXPECT_GT(reply.length, 0u);
    SimXml doc;
    EXPECT_FALSE(parse_sim_xml(reply.payload, doc)) << reply.payload;
}

TEST_F(SimPageFault, ExitEndsTheProcess) {
    ASSERT_TRUE(start_job(R"(<page number="2" at_byte="0" action="exit"/>)"));
    EXPECT_EQ("1", status_of(sim_read_page(sim).end, "read_status"));
    ASSERT_TRUE(sim.send_request(6));
    EXPECT_TRUE(sim.connection_closed());
    EXPECT_EQ(0, sim.wait_exit());
}

TEST_F(SimPageFault, ExtraBytesFollowThePageBeforeItsStatus) {
    ASSERT_TRUE(start_job(R"(<page number="1" extra="123"/>)"));
    const SimPage page = sim_read_page(sim);
    EXPECT_EQ((std::vector<uint64_t>{300, 300, 300, 100, 123}), page.pieces);
    EXPECT_TRUE(page.bytes.substr(0, 1000) == page_range(40, 25, 1, 0, 1000));
    EXPECT_EQ("1", status_of(page.end, "read_status"));
    const SimPage second = sim_read_page(sim);
    EXPECT_EQ(1000u, second.bytes.size()) << "only page 1 had extra bytes";
}

TEST_F(SimPageFault, FaultsCountPagesAcrossJobs) {
    // Page 4 is the first page of a second job (the first took 3 sheets).
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<page number="2" read_status="4"/><page number="3" at_byte="5" read_status="3"/>)",
                                               R"(piece_size="300")")));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request(sim_builtin_device("fb-a4")), reply));
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 40, 25), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    EXPECT_EQ("2", status_of(sim_read_page(sim).end, "read_status"));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    const SimPage second = sim_read_page(sim);
    EXPECT_TRUE(second.bytes.empty());
    EXPECT_EQ("4", status_of(second.end, "read_status"));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    const SimPage third = sim_read_page(sim);
    EXPECT_TRUE(third.bytes == page_range(40, 25, 3, 0, 5));
    EXPECT_EQ("3", status_of(third.end, "read_status"));
}

TEST_F(SimPageFault, PieceDelayPacesImageReplies) {
    ASSERT_TRUE(sim.start_and_connect(scenario("", R"(piece_size="500" piece_delay_ms="60")")));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(0, 0, 1, 40, 25), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    const auto begin = Clock::now();
    const SimPage page = sim_read_page(sim);
    EXPECT_EQ((std::vector<uint64_t>{500, 500}), page.pieces);
    EXPECT_GE(elapsed_ms(begin), 110);
}

}  // namespace
