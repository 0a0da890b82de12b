// Scanning through the entry points against the simulator: whole pages byte
// for byte, multi-page feeder jobs, refusals and the messages each step sends.
#include <poll.h>

#include <gtest/gtest.h>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::expected_page;
using kelvra_test::read_page;
using kelvra_test::Scenario;

// A scripted image_info reply to every parameter request.
std::string image_info_reply(int color_space, int width, int height, int bytes_per_row) {
    return "<reply command=\"3\"><![CDATA[<image_info color_space=\"" + std::to_string(color_space) +
           "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
           "\" bits_per_component=\"8\" bytes_per_row=\"" + std::to_string(bytes_per_row) + "\"/>]]></reply>";
}

class ScanJob : public testing::Test {
protected:
    void SetUp() override { before_ = kelvra_test::ProcessSnapshot::take(); }
    void TearDown() override {
        if (handle_ != nullptr) sane_kelvra_close(handle_);
        sane_kelvra_exit();
        EXPECT_TRUE(kelvra_test::returns_to(before_)) << "after the test: " << kelvra_test::ProcessSnapshot::take().describe()
                                                    << ", before: " << before_.describe();
    }

    SANE_Handle open(const char* name) { return handle_ = kelvra_test::open_named(name); }
    device_t* device() { return static_cast<device_t*>(handle_); }

    SANE_Parameters parameters() {
        SANE_Parameters params{};
        EXPECT_EQ(sane_kelvra_get_parameters(handle_, &params), SANE_STATUS_GOOD);
        return params;
    }

    // A page of a few kilobytes, so that tests about the flow stay quick.
    void small_area() {
        ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_BR_X, SANE_FIX(40.0)), SANE_STATUS_GOOD);
        ASSERT_EQ(kelvra_test::set_word_option(handle_, OPT_BR_Y, SANE_FIX(30.0)), SANE_STATUS_GOOD);
    }

    // The next read fails with `status` and delivers nothing.
    void expect_read(SANE_Status status) {
        SANE_Byte byte;
        SANE_Int length = 3;
        EXPECT_EQ(sane_kelvra_read(handle_, &byte, 1, &length), status);
        EXPECT_EQ(length, 0);
    }

    SANE_Handle handle_ = nullptr;
    kelvra_test::ProcessSnapshot before_{};
};

// The frontend polls the select descriptor (as saned does) and reads only
// when it is readable: the descriptor must also announce the page's end, or
// the frontend would never call read to learn EOF.
TEST_F(ScanJob, FlatbedColourPageArrivesByteForByteAndItsEndIsAnnounced) {
    Scenario scenario;
    open("fb-a4");
    SANE_Parameters params = parameters();
    EXPECT_EQ(params.format, SANE_FRAME_RGB);
    EXPECT_EQ(params.last_frame, SANE_TRUE);
    EXPECT_EQ(params.depth, 8);
    EXPECT_EQ(params.pixels_per_line, 638);  // 5100 px at 600 dpi seen at 75 dpi
    EXPECT_EQ(params.lines, 877);
    EXPECT_EQ(params.bytes_per_line, 638 * 3);

    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    SANE_Int fd = -1;
    ASSERT_EQ(sane_kelvra_get_select_fd(handle_, &fd), SANE_STATUS_GOOD);
    const size_t total = static_cast<size_t>(params.lines) * params.bytes_per_line;
    std::string bytes;
    std::vector<SANE_Byte> buffer(32768);
    while (bytes.size() < total) {
        pollfd readable{fd, POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, 2000), 1) << "no data announced after " << bytes.size() << " bytes";
        SANE_Int length = 0;
        ASSERT_EQ(sane_kelvra_read(handle_, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length),
                  SANE_STATUS_GOOD);
        bytes.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(length));
    }
    pollfd end{fd, POLLIN, 0};
    EXPECT_EQ(poll(&end, 1, 2000), 1) << "the end of the page is not announced on the select descriptor";
    EXPECT_TRUE(bytes == expected_page(params, 1)) << "page bytes differ from what the simulator generated";

    // EOF until the next start, and the pipe is gone.
    expect_read(SANE_STATUS_EOF);
    expect_read(SANE_STATUS_EOF);
    EXPECT_EQ(sane_kelvra_get_select_fd(handle_, &fd), SANE_STATUS_INVAL);
    EXPECT_EQ(fd, -1);
}

struct FeederCase {
    const char* device;
    const char* source;
    const char* mode;
    int pages;
};

class FeederJob : public ScanJob, public testing::WithParamInterface<FeederCase> {};

TEST_P(FeederJob, EveryPageOfTheJobThenNoDocuments) {
    const FeederCase& c = GetParam();
    Scenario scenario;
    open(c.device);
    ASSERT_EQ(kelvra_test::set_string_option(handle_, OPT_SOURCE, c.source), SANE_STATUS_GOOD);
    ASSERT_EQ(kelvra_test::set_string_option(handle_, OPT_MODE, c.mode), SANE_STATUS_GOOD);
    small_area();

    SANE_Parameters first = parameters();
    EXPECT_EQ(first.format, std::string(c.mode) == "Gray" ? SANE_FRAME_GRAY : SANE_FRAME_RGB);
    for (int page = 1; page <= c.pages; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        size_t parameter_requests = scenario.frames_with_command(IPC_CMD_SCAN_PARAMETER).size();
        ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
        SANE_Parameters params = parameters();
        EXPECT_EQ(params.lines, first.lines);
        EXPECT_EQ(params.bytes_per_line, first.bytes_per_line);
        auto read = read_page(handle_);
        EXPECT_EQ(read.final_status, SANE_STATUS_EOF);
        EXPECT_TRUE(read.bytes == expected_page(params, static_cast<uint32_t>(page)));
        if (page > 1) {
            // A later page of an open job sends nothing, and parameters come
            // from the stored geometry.
            EXPECT_EQ(scenario.frames_with_command(IPC_CMD_SCAN_PARAMETER).size(), parameter_requests);
        }
    }
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_START_SCAN).size(), 1u);
    // The reader thread takes the job's closing reply after the frontend had
    // its last byte, then makes the end exchange.
    EXPECT_TRUE(kelvra_test::eventually([&] { return scenario.frames_with_command(IPC_CMD_END_SCAN).size() == 1; }))
        << "the job ends with one end exchange";

    // The feeder is empty now: the start is accepted, the read tells why.
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    expect_read(SANE_STATUS_NO_DOCS);
    expect_read(SANE_STATUS_NO_DOCS);
}

INSTANTIATE_TEST_SUITE_P(Feeders, FeederJob,
                         testing::Values(FeederCase{"mfp-adf", "Automatic Document Feeder", "Color", 3},
                                         FeederCase{"duplex-legal", "ADF Duplex", "Gray", 6}));

TEST_F(ScanJob, CancelBetweenPagesSendsNothingAndTheNextStartOpensANewJob) {
    Scenario scenario;
    open("mfp-adf");
    ASSERT_EQ(kelvra_test::set_string_option(handle_, OPT_SOURCE, "Automatic Document Feeder"), SANE_STATUS_GOOD);
    small_area();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    EXPECT_EQ(read_page(handle_).final_status, SANE_STATUS_EOF);
    // Let the reader thread take the page's closing reply and end.
    ASSERT_TRUE(kelvra_test::eventually([&] { return kelvra_test::count_threads() == before_.threads; }));

    size_t frames = scenario.frames().size();
    sane_kelvra_cancel(handle_);
    EXPECT_EQ(scenario.frames().size(), frames) << "a cancel between pages sends nothing";
    EXPECT_EQ(device()->pages, 0u);
    expect_read(SANE_STATUS_CANCELLED);

    // Parameters are asked for again on every call after a cancel.
    parameters();
    parameters();
    EXPECT_EQ(scenario.frames().size(), frames + 2);

    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_START_SCAN).size(), 2u) << "a new job was opened";
}

struct Refusal {
    const char* reply;
    SANE_Status status;
};

class StartRefusal : public ScanJob, public testing::WithParamInterface<Refusal> {};

TEST_P(StartRefusal, StartSucceedsAndEveryReadReportsTheRefusal) {
    Scenario scenario(std::string("<reply command=\"4\"><![CDATA[") + GetParam().reply + "]]></reply>");
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    expect_read(GetParam().status);
    expect_read(GetParam().status);
    EXPECT_EQ(device()->pages, 0u);
    EXPECT_FALSE(device()->thread_running);
    EXPECT_EQ(device()->pipe_read_fd, -1);
    EXPECT_TRUE(scenario.frames_with_command(IPC_CMD_READ_IMAGE).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StartRefusal,
    testing::Values(Refusal{"<status scan_status=\"1\"/>", SANE_STATUS_NO_DOCS},
                    Refusal{"<status scan_status=\"2\"/>", SANE_STATUS_DEVICE_BUSY},
                    Refusal{"<status scan_status=\"3\"/>", SANE_STATUS_JAMMED},
                    Refusal{"<status scan_status=\"4\"/>", SANE_STATUS_IO_ERROR},
                    Refusal{"<status scan_status=\"-1\"/>", SANE_STATUS_IO_ERROR},
                    // No status element: the preset failure stands.
                    Refusal{"<other scan_status=\"0\"/>", SANE_STATUS_IO_ERROR}));

TEST_F(ScanJob, StatusElementWithoutScanStatusCountsAsStarted) {
    Scenario scenario("<reply command=\"4\" body=\"&lt;status/&gt;\"/>");
    open("fb-a4");
    small_area();
    SANE_Parameters params = parameters();
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    auto page = read_page(handle_);
    EXPECT_EQ(page.final_status, SANE_STATUS_EOF);
    EXPECT_TRUE(page.bytes == expected_page(params, 1));
}

TEST_F(ScanJob, FailedExchangeWhileOpeningTheJobIsReturnedByStart) {
    Scenario scenario("<reply command=\"4\" header_command=\"3\"/>");
    open("fb-a4");
    EXPECT_EQ(sane_kelvra_start(handle_), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(device()->status, SANE_STATUS_GOOD);
    EXPECT_EQ(device()->pages, 0u);
    EXPECT_FALSE(device()->thread_running);
    // The reply's payload stayed unread on the connection: the close exchange fails.
    sane_kelvra_close(handle_);
    kelvra_test::release_kept_handle(handle_);
    handle_ = nullptr;
}

class FrameFormat : public ScanJob, public testing::WithParamInterface<std::pair<int, SANE_Frame>> {};

TEST_P(FrameFormat, OnlyColourSpaceOneIsGray) {
    Scenario scenario(image_info_reply(GetParam().first, 10, 2, 30));
    open("fb-a4");
    SANE_Parameters params = parameters();
    EXPECT_EQ(params.format, GetParam().second);
    EXPECT_EQ(params.pixels_per_line, 10);
    EXPECT_EQ(params.lines, 2);
    EXPECT_EQ(params.bytes_per_line, 30);
    EXPECT_EQ(params.depth, 8);
}

INSTANTIATE_TEST_SUITE_P(ColourSpaces, FrameFormat,
                         testing::Values(std::pair{1, SANE_FRAME_GRAY}, std::pair{0, SANE_FRAME_RGB},
                                         std::pair{2, SANE_FRAME_RGB}));

TEST_F(ScanJob, PageOfZeroBytesEndsAtTheFirstRead) {
    Scenario scenario(image_info_reply(2, 0, 0, 0));
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    expect_read(SANE_STATUS_EOF);
    EXPECT_EQ(device()->pipe_read_fd, -1);
    EXPECT_EQ(device()->pipe_write_fd, -1);
}

TEST_F(ScanJob, PageSizeAbove32BitsIsKeptWhole) {
    Scenario scenario(image_info_reply(1, 100000, 100000, 100000));
    open("fb-a4");
    ASSERT_EQ(sane_kelvra_start(handle_), SANE_STATUS_GOOD);
    EXPECT_EQ(device()->total_bytes, 10000000000ull);
    sane_kelvra_cancel(handle_);
}

}  // namespace
