// The exported diagnostic kit: the print with its drop lists (built with the
// exported tokenizer, proven through them) and its flush, the status names,
// and the hooks, which print nothing. The backend itself never calls them.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "debug/diagnostics.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Standard error is fully buffered here, so only debug's own flush brings
// each message to the file before it is read back.
TEST(Debug, PrintsAtOnceExactlyWhatNoDropListNames) {
    const struct {
        const char *category, *function;
        bool printed;
    } cases[] = {
        // Each word of the category list, whatever the operation, and each
        // name of the operation list, whatever the category.
        {"command", "start_scan", false}, {"options", "start_scan", false}, {"debug", "start_scan", false},
        {"ipc", "start_scan", false}, {"ipc", nullptr, false}, {"scan", "read_image", false},
        {"scan", "sane_kelvra_get_option_descriptor", false}, {"scan", "get_device_option", false},
        {"scan", "sane_kelvra_control_option", false}, {"scan", "control_device_option", false},
        {nullptr, "read_image", false},
        // Exact, case-sensitive comparison, each list for its own argument.
        {"scan", "start_scan", true}, {"IPC", "start_scan", true}, {"ipc ", "start_scan", true},
        {"ip", "start_scan", true}, {"read_image", "start_scan", true}, {"scan", "ipc", true}, {"", "", true},
        {nullptr, nullptr, true},
    };
    CaptureStderr();
    static char buffer[BUFSIZ];
    ASSERT_EQ(setvbuf(stderr, buffer, _IOFBF, sizeof buffer), 0);
    std::string expected;
    for (size_t row = 0; row < std::size(cases); ++row) {
        debug(cases[row].category, cases[row].function, "row %zu: %s %5.2f%%\n", row, "at", 12.5);
        if (cases[row].printed) expected += "row " + std::to_string(row) + ": at 12.50%\n";
    }
    std::ifstream in("/proc/self/fd/2", std::ios::binary);
    std::stringstream seen;
    seen << in.rdbuf();
    setvbuf(stderr, nullptr, _IONBF, 0);
    GetCapturedStderr();
    EXPECT_EQ(seen.str(), expected);
}

TEST(Diagnostics, StatusNamesAreDistinctOthersUnknownAndHooksPrintNothing) {
    std::set<std::string> names;
    for (int code = SANE_STATUS_GOOD; code <= SANE_STATUS_ACCESS_DENIED; ++code)
        names.insert(get_status_string(static_cast<SANE_Status>(code)));
    EXPECT_EQ(names.size(), 12u);
    EXPECT_STREQ(get_status_string(SANE_STATUS_NO_DOCS), "SANE_STATUS_NO_DOCS");
    for (int code : {12, -1}) EXPECT_STREQ(get_status_string(static_cast<SANE_Status>(code)), "unknown");
    CaptureStderr();
    debug_option(nullptr);
    debug_option_value();
    debug_parameters();
    xml_debug(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
