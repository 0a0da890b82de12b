// The exported diagnostic kit: the print with its drop lists, its flush and
// its lock, the tokenizer the lists are built with, the status names, and the
// hooks, which print nothing.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// A fresh copy of the library, whose drop lists do not exist yet, gets its
// very first calls from several threads at once: the lists are built once,
// and every thread sees them whole (a race here also shows under TSan).
TEST(Debug, FirstCallsFromSeveralThreadsBuildTheDropListsOnce) {
    void* library = dlopen(KELVRA_TESTING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto fresh_debug = reinterpret_cast<decltype(&debug)>(dlsym(library, "debug"));
    ASSERT_TRUE(fresh_debug != nullptr && fresh_debug != &debug);
    constexpr int kThreads = 8;
    CaptureStderr();
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ready, fresh_debug] {
            for (ready.fetch_add(1); ready.load() < kThreads;) {  // so that the first calls meet
            }
            fresh_debug("ipc", "start_scan", "dropped category %d\n", t);
            fresh_debug("scan", "control_device_option", "dropped operation %d\n", t);
            fresh_debug("scan", "start_scan", "kept %d\n", t);
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream out(GetCapturedStderr());
    dlclose(library);
    std::vector<std::string> lines, expected;
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    for (int t = 0; t < kThreads; ++t) expected.push_back("kept " + std::to_string(t));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, expected);
}

TEST(SplitString, GivesTheTokensBetweenSeparators) {
    const struct {
        std::string text, delimiters;
        std::vector<std::string> tokens;
    } cases[] = {
        {"a,,b", ",", {"a", "b"}}, {",a,", ",", {"a"}}, {"", ",", {}}, {",,,", ",", {}}, {"abc", "", {"abc"}},
        {"", "", {}}, {"a,b", ",,", {"a", "b"}}, {"abc,d", ",", {"abc", "d"}},
        {"a b,c\td\ne", ", \n\t", {"a", "b", "c", "d", "e"}},  // every delimiter separates alone
        {" ,\ta , ,b\n", ", \n\t", {"a", "b"}},
        // Tokens keep their characters, zero bytes included.
        {std::string("x\0y", 3) + ",\x01\xff", ",", {std::string("x\0y", 3), "\x01\xff"}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_string(c.text, c.delimiters), c.tokens) << '"' << c.text << '"';
}

TEST(Diagnostics, StatusNamesAreDistinctOthersUnknownAndHooksPrintNothing) {
    std::set<std::string> names;
    for (int code = SANE_STATUS_GOOD; code <= SANE_STATUS_ACCESS_DENIED; ++code)
        names.insert(get_status_string(static_cast<SANE_Status>(code)));
    EXPECT_EQ(names.size(), 12u);
    EXPECT_STREQ(get_status_string(SANE_STATUS_NO_DOCS), "SANE_STATUS_NO_DOCS");
    for (int code : {12, -1, 1000}) EXPECT_STREQ(get_status_string(static_cast<SANE_Status>(code)), "unknown");
    CaptureStderr();
    SANE_Option_Descriptor descriptor{};
    debug_option(nullptr);
    debug_option(&descriptor);
    debug_option_value();
    debug_parameters();
    xml_debug(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
