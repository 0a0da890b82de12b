// Faults the simulator injects on demand, where their exact shape is more than
// the backend can observe: scripted replies the backend never meets, how
// scripts are counted, cut and paced replies, and page faults across pages
// and jobs. The faults' effect on the backend is checked through it.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

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

// The bytes of a body_size filler: 0, 1, 2, ...
std::string filler(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = char(uint8_t(i));
    return bytes;
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
    {"body_size_keeps_ack_kind", R"(<reply command="2" body_size="5"/>)", 2, {2, 1, 0, 5, filler(5)}},
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

TEST(SimScriptedReplies, NthCountsOnlyItsCommandAndWinsOverAnEveryRequestScript) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(
        scenario(R"(<reply command="5" body="every"/><reply command="5" nth="3" body="third"/>)")));
    std::vector<std::string> payloads;
    for (uint32_t command : {5u, 2u, 2u, 5u, 5u, 5u}) {
        SimFrame reply;
        ASSERT_TRUE(sim.exchange(command, {}, reply));
        payloads.push_back(reply.payload);
    }
    EXPECT_EQ((std::vector<std::string>{"every", "", "", "every", "third", "every"}), payloads);
}

TEST(SimScriptedReplies, FillerInPlaceOfAnImagePieceKeepsTheImageKindAndThePage) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="6" nth="1" body_size="3"/>)")));
    ASSERT_EQ("0", sim_start_job(sim, "fb-a4", sim_scan_request(0, 0, 1, 20, 10)));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(6, {}, reply));
    EXPECT_EQ(2u, reply.kind);
    EXPECT_EQ(filler(3), reply.payload);
    EXPECT_TRUE(sim_read_page(sim).bytes == sim_chart(20, 10, 1, 1)) << "the page starts after the filler";
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

// The backend cannot tell a split or delayed reply from a plain one: the
// pause itself is checked here.
TEST(SimScriptedReplies, SplitSendsTheHeaderInTwoPiecesWithAPause) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario(R"(<reply command="4" action="split"/>)")));
    ASSERT_TRUE(sim.send_request(4));
    uint8_t header[20];
    ASSERT_EQ(SimRead::frame, sim.read_exact(header, 7));
    const auto after_first = Clock::now();
    EXPECT_TRUE(sim.stays_silent(25)) << "the rest of the header waits";
    ASSERT_EQ(SimRead::frame, sim.read_exact(header + 7, 13));
    EXPECT_GE(elapsed_ms(after_first), 40);
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

TEST(SimScriptedReplies, PieceDelayPacesImageReplies) {
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(scenario("", R"(piece_size="500" piece_delay_ms="60")")));
    ASSERT_EQ("0", sim_start_job(sim, "fb-a4", sim_scan_request(0, 0, 1, 40, 25)));
    const auto begin = Clock::now();
    const SimPage page = sim_read_page(sim);
    EXPECT_EQ((std::vector<uint64_t>{500, 500}), page.pieces);
    EXPECT_GE(elapsed_ms(begin), 110);
}

// ---------------------------------------------------------------- page faults

// A feeder job of 3 sheets, 40x25 grey pages (1000 bytes), 300-byte pieces.
class SimPageFault : public testing::Test {
protected:
    bool start_job(const std::string& faults, const char* device = "mfp-adf") {
        const uint32_t placement = std::string(device) == "fb-a4" ? 0 : 1;
        return sim.start_and_connect(scenario(faults, R"(piece_size="300")")) &&
               sim_start_job(sim, device, sim_scan_request(placement, 0, 1, 40, 25)) == "0";
    }
    SimProcess sim;
};

struct StatusFaultCase {
    const char* label;
    const char* fault;
    size_t bytes_before;
    const char* status;
    const char* next_status;  // of the read after the fault
    size_t next_bytes;        // image bytes before that status
};

class SimStatusFault : public SimPageFault, public testing::WithParamInterface<StatusFaultCase> {};

// What follows the fault: the backend stops reading at it.
const StatusFaultCase status_faults[] = {
    {"page_short_then_next", R"(<page number="1" at_byte="10" read_status="1"/>)", 10, "1", "1", 1000},
    {"job_short", R"(<page number="1" at_byte="10" read_status="2"/>)", 10, "2", "2", 0},
    {"past_the_end_replaces_the_status", R"(<page number="1" at_byte="5000" read_status="4"/>)", 1000, "4", "2", 0},
};

TEST_P(SimStatusFault, ReplacesDataWithTheStatus) {
    const StatusFaultCase& c = GetParam();
    ASSERT_TRUE(start_job(c.fault));
    const SimPage page = sim_read_page(sim);
    EXPECT_TRUE(page.bytes == sim_chart(40, 25, 1, 1, 0, c.bytes_before));
    EXPECT_EQ(c.status, sim_status(page.end, "read_status"));
    const SimPage next = sim_read_page(sim);
    EXPECT_TRUE(next.bytes == sim_chart(40, 25, 1, 2, 0, c.next_bytes));
    EXPECT_EQ(c.next_status, sim_status(next.end, "read_status"));
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimStatusFault, testing::ValuesIn(status_faults),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(SimPageFault, ExtraBytesFollowThePageBeforeItsStatus) {
    ASSERT_TRUE(start_job(R"(<page number="1" extra="123"/>)"));
    const SimPage page = sim_read_page(sim);
    EXPECT_EQ((std::vector<uint64_t>{300, 300, 300, 100, 123}), page.pieces);
    EXPECT_TRUE(page.bytes.substr(0, 1000) == sim_chart(40, 25, 1, 1));
    EXPECT_EQ("1", sim_status(page.end, "read_status"));
    EXPECT_EQ(1000u, sim_read_page(sim).bytes.size()) << "only page 1 had extra bytes";
}

TEST_F(SimPageFault, FaultsCountPagesAcrossJobs) {
    // Flatbed jobs of one page each: page 3 is the first page of the third job.
    ASSERT_TRUE(start_job(R"(<page number="2" read_status="4"/><page number="3" at_byte="5" read_status="3"/>)",
                          "fb-a4"));
    EXPECT_EQ("2", sim_status(sim_read_page(sim).end, "read_status"));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    const SimPage second = sim_read_page(sim);
    EXPECT_TRUE(second.bytes.empty());
    EXPECT_EQ("4", sim_status(second.end, "read_status"));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    const SimPage third = sim_read_page(sim);
    EXPECT_TRUE(third.bytes == sim_chart(40, 25, 1, 3, 0, 5));
    EXPECT_EQ("3", sim_status(third.end, "read_status"));
}

}  // namespace
