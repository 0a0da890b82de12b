// The exported diagnostic kit: the print with its drop lists, its exact
// output, its flush and its lock; the tokenizer the lists are built with; the
// status names; and the hooks, which print nothing.
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

TEST(Debug, DropsOnlyListedCategoriesAndOperations) {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.category ? c.category : "(null)") << " / "
                                        << (c.function ? c.function : "(null)"));
        CaptureStderr();
        debug(c.category, c.function, "message %d\n", 7);
        EXPECT_EQ(GetCapturedStderr(), c.printed ? "message 7\n" : "");
    }
}

// Standard error fully buffered: only debug's own flush can bring the text
// to the file before it is read back, exactly as formatted.
TEST(Debug, PrintsTheFormattedTextExactlyAndFlushesAtOnce) {
    CaptureStderr();
    static char buffer[BUFSIZ];
    ASSERT_EQ(setvbuf(stderr, buffer, _IOFBF, sizeof buffer), 0);
    debug("scan", "start_scan", "page %u of %s: %5.2f%%", 3u, "job", 12.5);
    debug("scan", "start_scan", "%s", "");
    debug("scan", "start_scan", "[%c]", 'x');
    std::ifstream in("/proc/self/fd/2", std::ios::binary);
    std::stringstream seen;
    seen << in.rdbuf();
    setvbuf(stderr, nullptr, _IONBF, 0);
    GetCapturedStderr();
    EXPECT_EQ(seen.str(), "page 3 of job: 12.50%[x]");
}

// A fresh copy of the library, whose drop lists do not exist yet, gets its
// very first calls from several threads at once: the lists are built once,
// and every thread sees them whole (a race here also shows under TSan).
TEST(Debug, FirstCallsFromSeveralThreadsBuildTheDropListsOnce) {
    void* library = dlopen(KELVRA_TESTING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using DebugFunction = void (*)(const char*, const char*, const char*, ...);
    auto fresh_debug = reinterpret_cast<DebugFunction>(dlsym(library, "debug"));
    ASSERT_NE(fresh_debug, nullptr);
    ASSERT_NE(reinterpret_cast<void*>(fresh_debug), reinterpret_cast<void*>(&debug));

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
    const std::string out = GetCapturedStderr();
    dlclose(library);
    std::vector<std::string> lines, expected;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (int t = 0; t < kThreads; ++t) expected.push_back("kept " + std::to_string(t));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, expected) << out;
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

TEST(Diagnostics, StatusNamesAreDistinctAndOtherCodesUnknownAndHooksPrintNothing) {
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
    xmlDoc* doc = xmlNewDoc(BAD_CAST "1.0");
    xml_debug(doc);
    xmlFreeDoc(doc);
    EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
