// Scanning through the entry points against the simulator: pages byte for
// byte as a polling frontend reads them, feeder and duplex jobs, the frame an
// image_info gives, the messages each step sends, and how promptly start,
// cancel and close return whatever the frontend or the scan-manager does.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using namespace kelvra_test;

class ScanJob : public testing::Test {
protected:
    void SetUp() override { before_ = ProcessSnapshot::take(); }
    void TearDown() override {
        if (handle_ != nullptr) sane_kelvra_close(handle_);
        sane_kelvra_exit();
        EXPECT_TRUE(returns_to(before_)) << ProcessSnapshot::take().describe() << ", before: " << before_.describe();
    }
    device_t* device() { return static_cast<device_t*>(handle_); }
    // A page of a few kilobytes from `source`, or a 26.8 MB one (more than a pipe holds).
    void open(const char* name, const char* source = SOURCE_FLATBED, bool large = false) {
        handle_ = open_named(name);
        ASSERT_EQ(set_string_option(handle_, OPT_SOURCE, source), SANE_STATUS_GOOD);
        if (large) {
            ASSERT_EQ(set_word_option(handle_, OPT_RESOLUTION, 300), SANE_STATUS_GOOD);
        } else {
            ASSERT_EQ(set_word_option(handle_, OPT_BR_X, SANE_FIX(40.0)), SANE_STATUS_GOOD);
            ASSERT_EQ(set_word_option(handle_, OPT_BR_Y, SANE_FIX(30.0)), SANE_STATUS_GOOD);
        }
    }
    SANE_Parameters parameters() {
        SANE_Parameters params{};
        EXPECT_EQ(sane_kelvra_get_parameters(handle_, &params), SANE_STATUS_GOOD);
        return params;
    }
    // One read of up to 32 KiB; a failed one delivers nothing.
    SANE_Status read_once() {
        static SANE_Byte buffer[32768];
        SANE_Int length = 99;
        const SANE_Status status = sane_kelvra_read(handle_, buffer, sizeof buffer, &length);
        EXPECT_TRUE(status == SANE_STATUS_GOOD ? length > 0 : length == 0) << length;
        return status;
    }
    size_t requests(const Scenario& scenario, uint32_t command) {
        return scenario.frames_with_command(command).size();
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
    EXPECT_EQ(params.format, SANE_FRAME_RGB);
    EXPECT_EQ(params.pixels_per_line, 638);  // 5100 px at 600 dpi seen at 75 dpi
    EXPECT_EQ(params.lines, 877);
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    SANE_Int fd = -1;
    ASSERT_EQ(sane_kelvra_get_select_fd(handle_, &fd), SANE_STATUS_GOOD);
    std::string bytes;
    std::vector<SANE_Byte> buffer(32768);
    for (SANE_Int length = 0; bytes.size() < size_t(params.lines) * params.bytes_per_line; length = 0) {
        pollfd readable{fd, POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, 2000), 1) << "no data announced after " << bytes.size() << " bytes";
        ASSERT_EQ(sane_kelvra_read(handle_, buffer.data(), SANE_Int(buffer.size()), &length), SANE_STATUS_GOOD);
        bytes.append(reinterpret_cast<const char*>(buffer.data()), size_t(length));
    }
    pollfd end{fd, POLLIN, 0};
    EXPECT_EQ(poll(&end, 1, 2000), 1) << "the end of the page is not announced on the select descriptor";
    EXPECT_TRUE(bytes == expected_page(params, 1)) << "the page differs from the simulator's";
    EXPECT_EQ(read_once(), SANE_STATUS_EOF);
    EXPECT_EQ(read_once(), SANE_STATUS_EOF);
    EXPECT_EQ(sane_kelvra_get_select_fd(handle_, &fd), SANE_STATUS_INVAL) << "the pipe is gone";
    EXPECT_EQ(fd, -1);
}

struct FeederCase {
    const char *device, *source, *mode;
    int pages;
};

class FeederJob : public ScanJob, public testing::WithParamInterface<FeederCase> {};

TEST_P(FeederJob, EveryPageOfTheJobThenNoDocuments) {
    const FeederCase& c = GetParam();
    Scenario scenario;
    open(c.device, c.source);
    ASSERT_EQ(set_string_option(handle_, OPT_MODE, c.mode), SANE_STATUS_GOOD);
    const SANE_Parameters first = parameters();
    EXPECT_EQ(first.format, std::string(c.mode) == "Gray" ? SANE_FRAME_GRAY : SANE_FRAME_RGB);
    for (int page = 1; page <= c.pages; ++page) {
        const size_t asked = requests(scenario, IPC_CMD_SCAN_PARAMETER);
        ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
        const SANE_Parameters params = parameters();  // during a page: from the stored geometry
        EXPECT_EQ(requests(scenario, IPC_CMD_SCAN_PARAMETER), asked + (page == 1)) << "later pages send nothing";
        EXPECT_EQ(params.bytes_per_line, first.bytes_per_line);
        const PageRead read = read_page(handle_);
        EXPECT_EQ(read.final_status, SANE_STATUS_EOF);
        EXPECT_TRUE(read.bytes == expected_page(params, uint32_t(page))) << "page " << page;
    }
    EXPECT_EQ(requests(scenario, IPC_CMD_START_SCAN), 1u);
    EXPECT_TRUE(eventually([&] { return requests(scenario, IPC_CMD_END_SCAN) == 1; })) << "one end exchange";
    // The feeder is empty now: the start is accepted, the reads tell why.
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    EXPECT_EQ(read_once(), SANE_STATUS_NO_DOCS);
    EXPECT_EQ(read_once(), SANE_STATUS_NO_DOCS);
}

INSTANTIATE_TEST_SUITE_P(Feeders, FeederJob,
                         testing::Values(FeederCase{"mfp-adf", SOURCE_ADF, "Color", 3},
                                         FeederCase{"duplex-legal", SOURCE_ADF_DUPLEX, "Gray", 6}));

TEST_F(ScanJob, CancelBetweenPagesSendsNothingAndTheNextStartOpensANewJob) {
    Scenario scenario;
    open("mfp-adf", SOURCE_ADF);
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    EXPECT_EQ(read_page(handle_).final_status, SANE_STATUS_EOF);
    ASSERT_TRUE(eventually([&] { return count_threads() == before_.threads; }));
    const size_t frames = scenario.frames().size();
    sane_kelvra_cancel(handle_);
    EXPECT_EQ(scenario.frames().size(), frames) << "a cancel between pages sends nothing";
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
    parameters();  // asked again after a cancel, on every call
    parameters();
    EXPECT_EQ(scenario.frames().size(), frames + 2);
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    EXPECT_EQ(requests(scenario, IPC_CMD_START_SCAN), 2u) << "a new job was opened";
}

// The next start waits for the reader thread still in the page's end exchange:
// it must join the thread the moment it ends (a 20 ms sleep once slowed every
// page of a job down). The end acknowledgement comes 5 ms late each time.
TEST_F(ScanJob, JoinWaitStartAfterAPageJoinsTheReaderThreadAtOnce) {
    Scenario scenario("<reply command=\"5\" delay_ms=\"5\"/>");
    open("fb-a4");
    double fastest = 1e9;
    for (int page = 0; page < 8; ++page) {
        const double ms = milliseconds_of([&] { ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD); });
        if (page > 0) fastest = std::min(fastest, ms);  // the first has no thread to wait for
        ASSERT_EQ(read_page(handle_).final_status, SANE_STATUS_EOF);
    }
    EXPECT_LT(fastest, 15.0) << "ms for the fastest start after a page";
}

// The frame follows the image_info reply: only colour space 1 is grey; a page
// of zero bytes ends at the first read; a size above 32 bits is kept whole.
TEST_F(ScanJob, ImageInfoGivesTheFrame) {
    const struct {
        int color_space, width, height, bytes_per_row;
        SANE_Frame format;
    } cases[] = {{1, 10, 2, 30, SANE_FRAME_GRAY}, {0, 10, 2, 30, SANE_FRAME_RGB}, {2, 10, 2, 30, SANE_FRAME_RGB},
                 {2, 0, 0, 0, SANE_FRAME_RGB},    {1, 100000, 100000, 100000, SANE_FRAME_GRAY}};
    for (const auto& c : cases) {
        Scenario scenario("<reply command=\"3\"><![CDATA[<image_info color_space=\"" + std::to_string(c.color_space) +
                          "\" width=\"" + std::to_string(c.width) + "\" height=\"" + std::to_string(c.height) +
                          "\" bits_per_component=\"8\" bytes_per_row=\"" + std::to_string(c.bytes_per_row) +
                          "\"/>]]></reply>");
        handle_ = open_named("fb-a4");
        const SANE_Parameters params = parameters();
        EXPECT_EQ(params.format, c.format);
        EXPECT_TRUE(params.pixels_per_line == c.width && params.lines == c.height && params.depth == 8 &&
                    params.bytes_per_line == c.bytes_per_row);
        ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
        EXPECT_EQ(device()->total_bytes, uint64_t(c.height) * uint64_t(c.bytes_per_row));
        if (c.height == 0) {
            EXPECT_EQ(read_once(), SANE_STATUS_EOF);
        }
        sane_kelvra_close(handle_);
        handle_ = nullptr;
    }
}

// Cancel joins the reader thread wherever it waits, and returns promptly.
TEST_F(ScanJob, CancelJoinWhileTheFrontendHasStoppedReading) {
    Scenario scenario;
    open("fb-a4", SOURCE_FLATBED, true);
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    ASSERT_EQ(read_once(), SANE_STATUS_GOOD);
    usleep(300000);  // the pipe fills up and the reader thread waits on it
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_cancel(handle_); }), 1000.0);
    EXPECT_FALSE(device()->thread_running);
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
    EXPECT_EQ(requests(scenario, IPC_CMD_END_SCAN), 1u);
}

TEST_F(ScanJob, CancelJoinWhileWaitingForASlowOrSilentManager) {
    for (const bool silent : {false, true}) {
        Scenario scenario(silent ? "<page number=\"1\" at_byte=\"1000\" action=\"silence\"/>" : "",
                          silent ? "" : "piece_delay_ms=\"400\" piece_size=\"4096\"");
        open("fb-a4");
        ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
        usleep(200000);
        // A silent one takes the socket limit (2 s in the testing flavour) at most.
        EXPECT_LT(milliseconds_of([&] { sane_kelvra_cancel(handle_); }), silent ? 2000.0 : 1000.0);
        EXPECT_FALSE(device()->thread_running);
        EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
        EXPECT_LT(milliseconds_of([&] { sane_kelvra_close(handle_); }), silent ? 3000.0 : 1000.0);
        if (silent) release_kept_handle(handle_);  // its close exchange failed
        handle_ = nullptr;
    }
}

TEST_F(ScanJob, CloseDuringAPageInTransferStopsItAndCloses) {
    Scenario scenario;
    open("fb-a4", SOURCE_FLATBED, true);
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    ASSERT_EQ(read_once(), SANE_STATUS_GOOD);
    usleep(200000);
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_close(handle_); }), 1000.0);
    handle_ = nullptr;
    EXPECT_TRUE(g_open_devices.empty());
    EXPECT_EQ(requests(scenario, IPC_CMD_CLOSE_DEVICE), 1u);
}

TEST_F(ScanJob, StartDuringAnUnreadPageGoesOnWithTheNextPage) {
    Scenario scenario;
    open("fb-a4", SOURCE_FLATBED, true);
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    ASSERT_EQ(read_once(), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word_option(handle_, OPT_RESOLUTION, 75), SANE_STATUS_GOOD);
    EXPECT_LT(milliseconds_of([&] { EXPECT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD); }), 5000.0);
    const SANE_Parameters params = parameters();
    const PageRead page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_EOF);
    EXPECT_TRUE(page.bytes == expected_page(params, 2)) << "the second job's page arrives whole";
}

}  // namespace
