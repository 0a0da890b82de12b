// Scanning through the entry points: pages byte for byte as a polling frontend
// reads them, a duplex job, the messages each step sends, and how promptly
// start, cancel and close return whatever the frontend or scan-manager does.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"

namespace {

using namespace kelvra_test;
constexpr SANE_Status GOOD = SANE_STATUS_GOOD, EOF_ = SANE_STATUS_EOF;

class ScanJob : public testing::Test {
protected:
    void SetUp() override { before_ = ProcessSnapshot::take(); }
    void TearDown() override {
        if (handle_ != nullptr) sane_kelvra_close(handle_);
        sane_kelvra_exit();
        EXPECT_TRUE(returns_to(before_)) << ProcessSnapshot::take().describe() << ", before: " << before_.describe();
    }
    device_t* device() { return static_cast<device_t*>(handle_); }
    // A page of a few kilobytes, or of 26.8 MB at 300 dpi (more than a pipe holds).
    void open(const char* name, const char* source = SOURCE_FLATBED, bool large = false) {
        handle_ = open_named(name);
        ASSERT_EQ(set_string_option(handle_, OPT_SOURCE, source), GOOD);
        ASSERT_EQ(large ? set_word_option(handle_, OPT_RESOLUTION, 300)
                        : set_word_option(handle_, OPT_BR_Y, SANE_FIX(30)),
                  GOOD);
    }
    SANE_Parameters parameters() {
        SANE_Parameters params{};
        EXPECT_EQ(sane_kelvra_get_parameters(handle_, &params), GOOD);
        return params;
    }
    SANE_Status read_once() {  // up to 32 KiB; a failed read delivers nothing
        static SANE_Byte buffer[32768];
        SANE_Int length = 99;
        const SANE_Status status = sane_kelvra_read(handle_, buffer, sizeof buffer, &length);
        EXPECT_TRUE(status == GOOD ? length > 0 : length == 0) << length;
        return status;
    }

    SANE_Handle handle_ = nullptr;
    ProcessSnapshot before_{};
};

// saned polls the select descriptor and reads only when it is readable: the
// page's end must make it readable too, or saned never learns of the EOF.
TEST_F(ScanJob, SelectFdIsReadableAtPageEnd) {
    Scenario scenario;
    handle_ = open_named("fb-a4");
    const SANE_Parameters params = parameters();
    EXPECT_TRUE(params.format == SANE_FRAME_RGB && params.pixels_per_line == 638 && params.lines == 877);
    ASSERT_EQ(sane_kelvra_start(handle_), GOOD);
    SANE_Int fd = -1;
    ASSERT_EQ(sane_kelvra_get_select_fd(handle_, &fd), GOOD);
    std::string bytes;
    std::vector<SANE_Byte> buffer(32768);
    for (SANE_Int length = 0; bytes.size() < size_t(params.lines) * params.bytes_per_line; length = 0) {
        pollfd readable{fd, POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, 2000), 1) << "no data announced after " << bytes.size() << " bytes";
        ASSERT_EQ(sane_kelvra_read(handle_, buffer.data(), SANE_Int(buffer.size()), &length), GOOD);
        bytes.append(reinterpret_cast<const char*>(buffer.data()), size_t(length));
    }
    pollfd end{fd, POLLIN, 0};
    EXPECT_EQ(poll(&end, 1, 2000), 1) << "the end of the page is not announced on the select descriptor";
    EXPECT_TRUE(bytes == expected_page(handle_, params, 1)) << "the page differs from the simulator's";
    EXPECT_EQ(read_once(), EOF_);
    EXPECT_EQ(read_once(), EOF_);
    EXPECT_EQ(sane_kelvra_get_select_fd(handle_, &fd), SANE_STATUS_INVAL) << "the pipe is gone";
    EXPECT_EQ(fd, -1);
}

// The pages of a duplex job arrive whole, the later ones sending nothing; a
// cancel between pages sends nothing either, parameters are asked afresh,
// and the next start opens a new job, on a feeder the first job emptied.
TEST_F(ScanJob, FeederJobPagesThenCancelBetweenPagesThenNoDocuments) {
    Scenario scenario;
    open("duplex-legal", SOURCE_ADF_DUPLEX);
    ASSERT_EQ(set_string_option(handle_, OPT_MODE, "Gray"), GOOD);
    for (uint32_t page = 1; page <= 3; ++page) {
        const size_t frames = scenario.frames().size();
        ASSERT_EQ(sane_kelvra_start(handle_), GOOD);
        const SANE_Parameters params = parameters();  // during a page: from the stored geometry
        const PageRead read = read_page(handle_);
        const kelvra_sim::Side side = page % 2 == 1 ? kelvra_sim::Side::front : kelvra_sim::Side::back;
        EXPECT_TRUE(read.final_status == EOF_ && read.bytes == expected_page(handle_, params, page, side))
            << "page " << page;
        ASSERT_TRUE(eventually([&] { return count_threads() == before_.threads; }));
        // Parameters, start and the reads of page 1; only reads later.
        EXPECT_EQ(scenario.frames().size() - frames, page == 1 ? 4u : 2u) << "page " << page;
    }
    const size_t frames = scenario.frames().size();
    sane_kelvra_cancel(handle_);
    EXPECT_EQ(scenario.frames().size(), frames) << "a cancel between pages sends nothing";
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
    parameters();
    parameters();
    EXPECT_EQ(scenario.frames().size(), frames + 2);
    ASSERT_EQ(sane_kelvra_start(handle_), GOOD);
    EXPECT_EQ(scenario.frames(IPC_CMD_START_SCAN).size(), 2u) << "a new job was opened";
    EXPECT_EQ(read_once(), SANE_STATUS_NO_DOCS);
    EXPECT_EQ(read_once(), SANE_STATUS_NO_DOCS);
}

// The next start waits for the reader thread still in the page's end exchange
// (its acknowledgement 5 ms late): it must join it the moment it ends. A
// 20 ms sleep in that wait once slowed every page down.
TEST_F(ScanJob, JoinWaitStartAfterAPageJoinsTheReaderThreadAtOnce) {
    Scenario scenario("<reply command=\"5\" delay_ms=\"5\"/>");
    open("fb-a4");
    double fastest = 1e9;
    for (int page = 0; page < 8; ++page) {
        const double ms = milliseconds_of([&] { ASSERT_EQ(sane_kelvra_start(handle_), GOOD); });
        if (page > 0) fastest = std::min(fastest, ms);  // the first has no thread to wait for
        ASSERT_EQ(read_page(handle_).final_status, EOF_);
    }
    EXPECT_LT(fastest, 15.0) << "ms for the fastest start after a page";
}

// Cancel joins the reader thread wherever it waits and returns promptly;
// close stops a page in transfer; a start during an unread page goes on with
// the next one, unless the page does not end within the socket limit: it is
// stopped then, and the start fails.
TEST_F(ScanJob, CancelJoinCloseAndStartReturnPromptlyWhereverTheThreadWaits) {
    const struct {
        const char* what;
        const char *elements, *attributes;
        bool large;  // the frontend reads once, then the pipe fills up
        char action;
        double limit_ms;  // for the action; a silent scan-manager takes the 2 s socket limit
        size_t sent;      // end and close requests: none behind a reply that never comes
        SANE_Status started = GOOD;
    } cases[] = {
        {"frontend stopped reading", "", "", true, 'c', 1000, 1},
        {"slow scan-manager", "", "piece_delay_ms=\"400\" piece_size=\"4096\"", false, 'c', 1000, 1},
        {"silent scan-manager", "<page number=\"1\" at_byte=\"1000\" action=\"silence\"/>", "", false, 'c', 2000, 0},
        {"close in transfer", "", "", true, 'x', 1000, 1},
        {"start in transfer", "", "", false, 's', 5000, 1},
        // Twice the limit: the page's own, then the stop's.
        {"start while the page trickles", "", "piece_delay_ms=\"50\" piece_size=\"16\"", false, 's', 5000, 1,
         SANE_STATUS_IO_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scenario scenario(c.elements, c.attributes);
        open("fb-a4", SOURCE_FLATBED, c.large);
        ASSERT_EQ(sane_kelvra_start(handle_), GOOD);
        if (c.large) {
            ASSERT_EQ(read_once(), GOOD);
        }
        usleep(300000);
        if (c.action == 's') {
            ASSERT_EQ(set_word_option(handle_, OPT_RESOLUTION, 75), GOOD);
            EXPECT_LT(milliseconds_of([&] { EXPECT_EQ(sane_kelvra_start(handle_), c.started); }), c.limit_ms);
            const SANE_Parameters params = parameters();
            const PageRead page = read_page(handle_);
            EXPECT_TRUE(c.started != GOOD || (page.final_status == EOF_ && page.bytes == expected_page(handle_, params, 2)))
                << "the next page whole";
            EXPECT_TRUE(c.started == GOOD || page.final_status == c.started) << "reads tell the failed start";
        } else if (c.action == 'c') {
            EXPECT_LT(milliseconds_of([&] { sane_kelvra_cancel(handle_); }), c.limit_ms);
            EXPECT_FALSE(device()->thread_running);
            EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
            EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
            EXPECT_EQ(scenario.frames(IPC_CMD_END_SCAN).size(), c.sent);
        }
        EXPECT_LT(milliseconds_of([&] { sane_kelvra_close(handle_); }), c.limit_ms + 1000);
        EXPECT_EQ(scenario.frames(IPC_CMD_CLOSE_DEVICE).size(), c.sent);
        if (!g_open_devices.empty()) release_kept_handle(handle_);  // a silent one fails the close exchange
        handle_ = nullptr;
    }
}

}  // namespace
