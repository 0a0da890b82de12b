// The diagnostic print: its drop lists, its exact output and its lock.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "debug/diagnostics.h"

namespace {

// Standard error goes into a temporary file until stop(), which gives what
// was written (and flushes first).
struct StderrCapture {
    StderrCapture() { testing::internal::CaptureStderr(); }
    ~StderrCapture() {
        if (!stopped) stop();
    }
    std::string stop() {
        stopped = true;
        return testing::internal::GetCapturedStderr();
    }
    bool stopped = false;
};

TEST(Debug, DropsOnlyListedCategoriesAndOperations) {
    const struct {
        const char* category;
        const char* function;
        bool printed;
    } cases[] = {
        // Each word of the category list, whatever the operation.
        {"command", "start_scan", false},
        {"options", "start_scan", false},
        {"debug", "start_scan", false},
        {"ipc", "start_scan", false},
        {"ipc", nullptr, false},
        // Each name of the operation list, whatever the category.
        {"scan", "read_image", false},
        {"scan", "sane_kelvra_get_option_descriptor", false},
        {"scan", "get_device_option", false},
        {"scan", "sane_kelvra_control_option", false},
        {"scan", "control_device_option", false},
        {nullptr, "read_image", false},
        // Exact, case-sensitive comparison, each list for its own argument.
        {"scan", "start_scan", true},
        {"IPC", "start_scan", true},
        {"ipc ", "start_scan", true},
        {"ip", "start_scan", true},
        {"read_image", "start_scan", true},
        {"scan", "ipc", true},
        {"", "", true},
        {nullptr, nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.category ? c.category : "(null)") << " / "
                                        << (c.function ? c.function : "(null)"));
        StderrCapture capture;
        debug(c.category, c.function, "message %d\n", 7);
        EXPECT_EQ(capture.stop(), c.printed ? "message 7\n" : "");
    }
}

TEST(Debug, PrintsTheFormattedTextExactlyWithoutAnythingAdded) {
    StderrCapture capture;
    debug("scan", "start_scan", "page %u of %s: %5.2f%%", 3u, "job", 12.5);
    debug("scan", "start_scan", "%s", "");
    debug("scan", "start_scan", "[%c]", 'x');
    EXPECT_EQ(capture.stop(), "page 3 of job: 12.50%[x]");
}

TEST(Debug, ReachesTheFileAtOnceWithoutWaitingForABufferFlush) {
    // Standard error fully buffered: only debug's own flush can bring the
    // text to the file before the capture reads it.
    StderrCapture capture;
    static char buffer[BUFSIZ];
    ASSERT_EQ(setvbuf(stderr, buffer, _IOFBF, sizeof buffer), 0);
    debug("scan", "start_scan", "buffered %d", 1);
    std::ifstream in("/proc/self/fd/2", std::ios::binary);
    std::stringstream seen;
    seen << in.rdbuf();
    setvbuf(stderr, nullptr, _IONBF, 0);
    EXPECT_EQ(seen.str(), "buffered 1");
}

// A fresh copy of the library, whose drop lists do not exist yet, receives
// its very first debug calls from several threads at once: the lists are
// built once, and every thread sees them whole.
TEST(Debug, FirstCallsFromSeveralThreadsBuildTheDropListsOnce) {
    void* library = dlopen(KELVRA_TESTING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using DebugFunction = void (*)(const char*, const char*, const char*, ...);
    auto fresh_debug = reinterpret_cast<DebugFunction>(dlsym(library, "debug"));
    ASSERT_NE(fresh_debug, nullptr);
    ASSERT_NE(reinterpret_cast<void*>(fresh_debug), reinterpret_cast<void*>(&debug));

    constexpr int kThreads = 8;
    StderrCapture capture;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ready, fresh_debug] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {  // so that the first calls meet
            }
            fresh_debug("ipc", "start_scan", "dropped category %d\n", t);
            fresh_debug("scan", "control_device_option", "dropped operation %d\n", t);
            fresh_debug("scan", "start_scan", "kept %d\n", t);
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string out = capture.stop();
    dlclose(library);

    EXPECT_EQ(out.find("dropped"), std::string::npos) << out;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_NE(out.find("kept " + std::to_string(t) + "\n"), std::string::npos) << out;
    }
    EXPECT_EQ(out.size(), static_cast<size_t>(kThreads) * std::string("kept 0\n").size()) << out;
}

TEST(DiagnosticHooks, AcceptNullAndPrintNothing) {
    StderrCapture capture;
    debug_option(nullptr);
    SANE_Option_Descriptor descriptor{};
    descriptor.name = "resolution";
    debug_option(&descriptor);
    debug_option_value();
    debug_parameters();
    xml_debug(nullptr);
    xmlDoc* doc = xmlNewDoc(BAD_CAST "1.0");
    xml_debug(doc);
    xmlFreeDoc(doc);
    EXPECT_EQ(capture.stop(), "");
    EXPECT_STREQ(descriptor.name, "resolution");
}

}  // namespace
