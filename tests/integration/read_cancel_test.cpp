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
    // Waits until the reader thread has stored the page's result.
    void wait_for_status() {
        kelvra_test::eventually([&] { return device()->status != SANE_STATUS_GOOD; });
    }
    // A page of 2550 x 3507 colour pixels: 26.8 MB, far more than a pipe holds.
    void large_page() {
        ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_RESOLUTION, 300), SANE_STATUS_GOOD);
    }

    SANE_Handle handle_ = nullptr;
    kelvra_test::ProcessSnapshot before_{};
};

struct DeviceStop {
    const char* read_status;
    SANE_Status status;
};

class DeviceStopsThePage : public PageEnd, public testing::WithParamInterface<DeviceStop> {};

TEST_P(DeviceStopsThePage, StatusReachesTheReadEvenWithBytesStillInThePipe) {
    Scenario scenario(std::string("<page number=\"1\" at_byte=\"40000\" read_status=\"") + GetParam().read_status +
                      "\"/>");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    wait_for_status();
    SANE_Byte buffer[1024];
    SANE_Int length = 99;
    EXPECT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), GetParam().status);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), GetParam().status);
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_END_SCAN).size(), 1u) << "the job is closed";
    sane_kelvra_cancel(handle_);
    EXPECT_EQ(device()->pages, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stops, DeviceStopsThePage,
                         testing::Values(DeviceStop{"3", SANE_STATUS_CANCELLED}, DeviceStop{"4", SANE_STATUS_JAMMED},
                                         DeviceStop{"7", SANE_STATUS_INVAL}));

TEST_F(PageEnd, StatusWithoutReadStatusMeansMoreData) {
    Scenario scenario("<reply command=\"6\" nth=\"2\" body=\"&lt;status/&gt;\"/>", "piece_size=\"1000\"");
    open("fb-a4");
    ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_BR_X, SANE_FIX(20.0)), SANE_STATUS_GOOD);
    ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_BR_Y, SANE_FIX(20.0)), SANE_STATUS_GOOD);
    SANE_Parameters params = parameters();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_EOF);
    // The second read request was answered by the bare status: the page
    // goes on after it with nothing lost.
    EXPECT_TRUE(page.bytes == expected_page(params, 1));
}

TEST_F(PageEnd, ShortPageEndsTheReadsWithAnIoError) {
    Scenario scenario("<page number=\"1\" at_byte=\"1000\" read_status=\"2\"/>");
    open("fb-a4");
    SANE_Parameters params = parameters();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(page.bytes == expected_page(params, 1).substr(0, 1000)) << "the bytes before the end are intact";
}

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
    open("fb-a4");
    large_page();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    SANE_Byte buffer[32768];
    SANE_Int length = 0;
    ASSERT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), SANE_STATUS_GOOD);
    usleep(300000);  // the pipe fills up and the reader thread waits on it
    double elapsed = milliseconds_of([&] { sane_kelvra_cancel(handle_); });
    EXPECT_LT(elapsed, 1000.0);
    EXPECT_FALSE(device()->thread_running);
    EXPECT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), SANE_STATUS_CANCELLED);
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_END_SCAN).size(), 1u);
}

TEST_F(PageEnd, CancelWhileWaitingForASlowButAnsweringManagerReturnsWithinASecond) {
    Scenario scenario("", "piece_delay_ms=\"400\" piece_size=\"4096\"");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    usleep(100000);
    double elapsed = milliseconds_of([&] { sane_kelvra_cancel(handle_); });
    EXPECT_LT(elapsed, 1000.0);
    SANE_Byte buffer[16];
    SANE_Int length = 0;
    EXPECT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), SANE_STATUS_CANCELLED);
}

TEST_F(PageEnd, CancelWithASilentManagerReturnsWithinTheSocketLimit) {
    Scenario scenario("<page number=\"1\" at_byte=\"1000\" action=\"silence\"/>");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    usleep(200000);
    double elapsed = milliseconds_of([&] { sane_kelvra_cancel(handle_); });
    EXPECT_LT(elapsed, 2000.0) << "the testing flavour's socket limit is 2 s";
    SANE_Byte buffer[16];
    SANE_Int length = 0;
    EXPECT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), SANE_STATUS_CANCELLED);
    // The connection is unusable now; closing still must not hang. The close
    // exchange fails, so the handle stays open until the test releases it.
    double closing = milliseconds_of([&] { sane_kelvra_close(handle_); });
    EXPECT_LT(closing, 3000.0);
    ASSERT_EQ(g_open_devices.size(), 1u);
    release_device(device());
    g_open_devices.clear();
    delete device();
    handle_ = nullptr;
}

TEST_F(PageEnd, CloseDuringAPageInTransferStopsItAndCloses) {
    Scenario scenario;
    open("fb-a4");
    large_page();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    SANE_Byte buffer[32768];
    SANE_Int length = 0;
    ASSERT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), SANE_STATUS_GOOD);
    usleep(200000);
    double elapsed = milliseconds_of([&] { sane_kelvra_close(handle_); });
    handle_ = nullptr;
    EXPECT_LT(elapsed, 1000.0);
    EXPECT_TRUE(g_open_devices.empty());
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_CLOSE_DEVICE).size(), 1u);
}

TEST_F(PageEnd, StartDuringAnUnreadPageGoesOnWithTheNextPage) {
    Scenario scenario;
    open("fb-a4");
    large_page();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    SANE_Byte buffer[32768];
    SANE_Int length = 0;
    ASSERT_EQ(sane_kelvra_read(handle_, buffer, sizeof buffer, &length), SANE_STATUS_GOOD);
    ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_RESOLUTION, 75), SANE_STATUS_GOOD);
    double elapsed = milliseconds_of([&] { EXPECT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD); });
    EXPECT_LT(elapsed, 5000.0);
    SANE_Parameters params = parameters();
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_EOF);
    EXPECT_TRUE(page.bytes == expected_page(params, 2)) << "the second job's page arrives whole";
}

TEST_F(PageEnd, FailedReadExchangeEndsThePageWithAnIoError) {
    Scenario scenario("<page number=\"1\" at_byte=\"5000\" action=\"malformed\"/>");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_ACCESS_DENIED);
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_END_SCAN).size(), 1u);
}

}  // namespace
