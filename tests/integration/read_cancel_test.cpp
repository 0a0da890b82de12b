// How pages end: device-side stops, short and long pages, and how fast
// cancel, close and a premature start return whatever the frontend or the
// scan-manager does.
#include <unistd.h>

#include <gtest/gtest.h>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::expected_page;
using kelvra_test::milliseconds_of;
using kelvra_test::read_page;
using kelvra_test::Scenario;

class PageEnd : public testing::Test {
protected:
    void SetUp() override { before_ = kelvra_test::ProcessSnapshot::take(); }
    void TearDown() override {
        if (handle_ != nullptr) sane_kelvra_close(handle_);
        sane_kelvra_exit();
        EXPECT_TRUE(kelvra_test::returns_to(before_)) << kelvra_test::ProcessSnapshot::take().describe();
    }
    SANE_Handle open(const char* name) { return handle_ = kelvra_test::open_named(name); }
    device_t* device() { return static_cast<device_t*>(handle_); }
    SANE_Parameters parameters() {
        SANE_Parameters params{};
        EXPECT_EQ(sane_kelvra_get_parameters(handle_, &params), SANE_STATUS_GOOD);
        return params;
    }
    SANE_Status read_once() {
        SANE_Byte buffer[32768];
        SANE_Int length = 99;
        const SANE_Status status = sane_kelvra_read(handle_, buffer, sizeof buffer, &length);
        if (status != SANE_STATUS_GOOD) {
            EXPECT_EQ(length, 0);
        }
        return status;
    }
    // Opens fb-a4 and starts a page of 2550 x 3507 colour pixels: 26.8 MB,
    // far more than a pipe holds.
    void start_large_page() {
        open("fb-a4");
        ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_RESOLUTION, 300), SANE_STATUS_GOOD);
        ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    }
    SANE_Handle handle_ = nullptr;
    kelvra_test::ProcessSnapshot before_{};
};

struct DeviceStop {
    const char* fault;  // at byte 40000 of the first page
    SANE_Status status;
};

class DeviceStopsThePage : public PageEnd, public testing::WithParamInterface<DeviceStop> {};

TEST_P(DeviceStopsThePage, StatusReachesTheReadEvenWithBytesStillInThePipe) {
    Scenario scenario(std::string("<page number=\"1\" at_byte=\"40000\" ") + GetParam().fault + "/>");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    // Wait until the reader thread has stored the page's result.
    kelvra_test::eventually([&] { return device()->status != SANE_STATUS_GOOD; });
    EXPECT_EQ(read_once(), GetParam().status);
    EXPECT_EQ(read_once(), GetParam().status);
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_END_SCAN).size(), 1u) << "the job is closed";
    sane_kelvra_cancel(handle_);
    EXPECT_EQ(device()->pages, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stops, DeviceStopsThePage,
                         testing::Values(DeviceStop{"read_status=\"3\"", SANE_STATUS_CANCELLED},
                                         DeviceStop{"read_status=\"4\"", SANE_STATUS_JAMMED},
                                         DeviceStop{"read_status=\"7\"", SANE_STATUS_INVAL},
                                         // A failed read exchange ends the page with its status.
                                         DeviceStop{"action=\"malformed\"", SANE_STATUS_ACCESS_DENIED}));

// A page that ends well but short of its size: the reads end in IO_ERROR
// after the bytes that came, instead of waiting for bytes that never come.
class ShortPage : public PageEnd, public testing::WithParamInterface<const char*> {};

TEST_P(ShortPage, EndsTheReadsWithAnIoErrorAfterTheBytesThatCame) {
    Scenario scenario(std::string("<page number=\"1\" at_byte=\"1000\" read_status=\"") + GetParam() + "\"/>");
    open("fb-a4");
    SANE_Parameters params = parameters();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(page.bytes == expected_page(params, 1).substr(0, 1000)) << "the bytes before the end are intact";
}

// 2: the job has ended; 1: another page would follow.
INSTANTIATE_TEST_SUITE_P(ReadStatus, ShortPage, testing::Values("2", "1"));

TEST_F(PageEnd, BytesBeyondThePageAreDropped) {
    Scenario scenario("<page number=\"1\" extra=\"70000\"/>");
    open("fb-a4");
    ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_BR_Y, SANE_FIX(30.0)), SANE_STATUS_GOOD);
    SANE_Parameters params = parameters();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_EOF);
    EXPECT_TRUE(page.bytes == expected_page(params, 1));
    EXPECT_TRUE(kelvra_test::eventually([&] { return scenario.frames_with_command(IPC_CMD_END_SCAN).size() == 1; }));
    sane_kelvra_cancel(handle_);  // joins the finished thread
    EXPECT_EQ(device()->received_bytes, device()->total_bytes) << "the extra bytes went nowhere";
}

TEST_F(PageEnd, CancelWhileTheFrontendHasStoppedReadingReturnsWithinASecond) {
    Scenario scenario;
    start_large_page();
    ASSERT_EQ(read_once(), SANE_STATUS_GOOD);
    usleep(300000);  // the pipe fills up and the reader thread waits on it
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_cancel(handle_); }), 1000.0);
    EXPECT_FALSE(device()->thread_running);
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_END_SCAN).size(), 1u);
}

TEST_F(PageEnd, CancelWhileWaitingForASlowButAnsweringManagerReturnsWithinASecond) {
    Scenario scenario("", "piece_delay_ms=\"400\" piece_size=\"4096\"");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    usleep(100000);
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_cancel(handle_); }), 1000.0);
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
}

TEST_F(PageEnd, CancelWithASilentManagerReturnsWithinTheSocketLimit) {
    Scenario scenario("<page number=\"1\" at_byte=\"1000\" action=\"silence\"/>");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    usleep(200000);
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_cancel(handle_); }), 2000.0)
        << "the testing flavour's socket limit is 2 s";
    EXPECT_EQ(read_once(), SANE_STATUS_CANCELLED);
    // The connection is unusable now; closing still must not hang.
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_close(handle_); }), 3000.0);
    kelvra_test::release_kept_handle(handle_);
    handle_ = nullptr;
}

TEST_F(PageEnd, CloseDuringAPageInTransferStopsItAndCloses) {
    Scenario scenario;
    start_large_page();
    ASSERT_EQ(read_once(), SANE_STATUS_GOOD);
    usleep(200000);
    EXPECT_LT(milliseconds_of([&] { sane_kelvra_close(handle_); }), 1000.0);
    handle_ = nullptr;
    EXPECT_TRUE(g_open_devices.empty());
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_CLOSE_DEVICE).size(), 1u);
}

TEST_F(PageEnd, StartDuringAnUnreadPageGoesOnWithTheNextPage) {
    Scenario scenario;
    start_large_page();
    ASSERT_EQ(read_once(), SANE_STATUS_GOOD);
    ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_RESOLUTION, 75), SANE_STATUS_GOOD);
    EXPECT_LT(milliseconds_of([&] { EXPECT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD); }), 5000.0);
    SANE_Parameters params = parameters();
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_EOF);
    EXPECT_TRUE(page.bytes == expected_page(params, 2)) << "the second job's page arrives whole";
}

}  // namespace
