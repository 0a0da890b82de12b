// The diagnostic print: its drop lists, its exact output and its lock.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "debug/diagnostics.h"

namespace {

// Sends standard error into a temporary file for the lifetime of the object;
// text() gives what was written so far.
class StderrCapture {
public:
    StderrCapture() {
        char path[] = "/tmp/kelvra-stderr-XXXXXX";
        file_ = mkstemp(path);
        path_ = path;
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(file_, STDERR_FILENO);
    }
    ~StderrCapture() {
        restore();
        close(file_);
        unlink(path_.c_str());
    }
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string text() {
        fflush(stderr);
        std::ifstream in(path_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    bool valid() const { return file_ >= 0 && saved_ >= 0; }

private:
    int file_ = -1;
    int saved_ = -1;
    std::string path_;
};

struct DebugCase {
    const char* label;
    const char* category;
    const char* function;
    bool printed;
};

void PrintTo(const DebugCase& c, std::ostream* out) { *out << c.label; }

class DebugFilter : public ::testing::TestWithParam<DebugCase> {};

TEST_P(DebugFilter, DropsOnlyListedCategoriesAndOperations) {
    const DebugCase& c = GetParam();
    StderrCapture capture;
    ASSERT_TRUE(capture.valid());
    debug(c.category, c.function, "message %d\n", 7);
    const std::string out = capture.text();
    capture.restore();
    EXPECT_EQ(out, c.printed ? "message 7\n" : "");
}

const DebugCase kDebugCases[] = {
    // Dropped categories, whatever the operation.
    {"category_command", "command", "start_scan", false},
    {"category_options", "options", "start_scan", false},
    {"category_debug", "debug", "start_scan", false},
    {"category_ipc", "ipc", "start_scan", false},
    {"category_ipc_any_operation", "ipc", "open_device", false},
    {"category_ipc_null_operation", "ipc", nullptr, false},
    // Dropped operations, whatever the category.
    {"operation_read_image", "scan", "read_image", false},
    {"operation_read_image_other_category", "device", "read_image", false},
    {"operation_get_option_descriptor", "scan", "sane_kelvra_get_option_descriptor", false},
    {"operation_get_device_option", "scan", "get_device_option", false},
    {"operation_control_option", "scan", "sane_kelvra_control_option", false},
    {"operation_control_device_option", "scan", "control_device_option", false},
    {"operation_read_image_null_category", nullptr, "read_image", false},
    // Printed.
    {"scan_start_scan", "scan", "start_scan", true},
    {"category_in_capitals", "IPC", "start_scan", true},
    {"category_with_trailing_blank", "ipc ", "start_scan", true},
    {"category_with_leading_tab", "\tipc", "start_scan", true},
    {"category_prefix_only", "ip", "start_scan", true},
    {"operation_in_capitals", "scan", "READ_IMAGE", true},
    {"operation_with_trailing_comma", "scan", "read_image,", true},
    {"operation_name_used_as_category", "read_image", "start_scan", true},
    {"category_name_used_as_operation", "scan", "ipc", true},
    {"empty_category_and_operation", "", "", true},
    {"null_category", nullptr, "start_scan", true},
    {"null_operation", "scan", nullptr, true},
    {"both_null", nullptr, nullptr, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, DebugFilter, ::testing::ValuesIn(kDebugCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(DebugOutput, PrintsTheFormattedTextExactlyWithoutAnythingAdded) {
    StderrCapture capture;
    ASSERT_TRUE(capture.valid());
    debug("scan", "start_scan", "page %u of %s: %5.2f%%", 3u, "job", 12.5);
    debug("scan", "start_scan", "%s", "");
    debug("scan", "start_scan", "[%c]", 'x');
    const std::string out = capture.text();
    capture.restore();
    EXPECT_EQ(out, "page 3 of job: 12.50%[x]");
}

TEST(DebugOutput, ReachesTheFileAtOnceWithoutWaitingForABufferFlush) {
    // Make standard error fully buffered: only debug's own flush can bring
    // the text to the file before the capture reads it.
    StderrCapture capture;
    ASSERT_TRUE(capture.valid());
    static char buffer[BUFSIZ];
    ASSERT_EQ(setvbuf(stderr, buffer, _IOFBF, sizeof buffer), 0);
    debug("scan", "start_scan", "buffered %d", 1);
    std::ifstream in("/proc/self/fd/2", std::ios::binary);
    std::stringstream seen;
    seen << in.rdbuf();
    setvbuf(stderr, nullptr, _IONBF, 0);
    capture.restore();
    EXPECT_EQ(seen.str(), "buffered 1");
}

// Every thread prints complete lines through debug; the lines must come out
// whole, each exactly once.
TEST(DebugThreads, MessagesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kMessages = 200;
    StderrCapture capture;
    ASSERT_TRUE(capture.valid());
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ready] {
            const std::string body(300 + 37 * t, static_cast<char>('a' + t));
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            for (int m = 0; m < kMessages; ++m) {
                debug("scan", "start_scan", "<%d:%d:%s:", t, m, body.c_str());
                debug("ipc", "start_scan", "dropped %d\n", t);
                debug("scan", "start_scan", "%s>\n", body.c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string out = capture.text();
    capture.restore();

    // The two halves of one logical message are separate calls and may be
    // separated by other messages; each single call must stay whole.
    std::map<int, int> starts;
    std::map<int, int> ends;
    size_t position = 0;
    int pieces = 0;
    while (position < out.size()) {
        if (out[position] == '<') {
            const size_t colon1 = out.find(':', position);
            const size_t colon2 = out.find(':', colon1 + 1);
            ASSERT_NE(colon2, std::string::npos);
            const int t = std::stoi(out.substr(position + 1, colon1 - position - 1));
            ASSERT_GE(t, 0);
            ASSERT_LT(t, kThreads);
            const std::string body(300 + 37 * t, static_cast<char>('a' + t));
            ASSERT_EQ(out.compare(colon2 + 1, body.size() + 1, body + ":"), 0) << "at offset " << position;
            ++starts[t];
            position = colon2 + 1 + body.size() + 1;
        } else {
            const char letter = out[position];
            ASSERT_GE(letter, 'a');
            ASSERT_LT(letter, 'a' + kThreads) << "at offset " << position;
            const int t = letter - 'a';
            const std::string body(300 + 37 * t, letter);
            ASSERT_EQ(out.compare(position, body.size() + 2, body + ">\n"), 0) << "at offset " << position;
            ++ends[t];
            position += body.size() + 2;
        }
        ++pieces;
    }
    EXPECT_EQ(pieces, 2 * kThreads * kMessages);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(starts[t], kMessages);
        EXPECT_EQ(ends[t], kMessages);
    }
    EXPECT_EQ(out.find("dropped"), std::string::npos);
}

// A fresh copy of the library, whose drop lists do not exist yet, receives
// its very first debug calls from several threads at once: the lists are
// built once, and every thread sees them whole.
TEST(DebugThreads, FirstCallsFromSeveralThreadsBuildTheDropListsOnce) {
    void* library = dlopen(KELVRA_TESTING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using DebugFunction = void (*)(const char*, const char*, const char*, ...);
    auto fresh_debug = reinterpret_cast<DebugFunction>(dlsym(library, "debug"));
    ASSERT_NE(fresh_debug, nullptr);
    ASSERT_NE(reinterpret_cast<void*>(fresh_debug), reinterpret_cast<void*>(&debug));

    constexpr int kThreads = 8;
    StderrCapture capture;
    ASSERT_TRUE(capture.valid());
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ready, fresh_debug] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            fresh_debug("ipc", "start_scan", "dropped category %d\n", t);
            fresh_debug("scan", "control_device_option", "dropped operation %d\n", t);
            fresh_debug("scan", "start_scan", "kept %d\n", t);
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string out = capture.text();
    capture.restore();
    dlclose(library);

    EXPECT_EQ(out.find("dropped"), std::string::npos) << out;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_NE(out.find("kept " + std::to_string(t) + "\n"), std::string::npos) << out;
    }
    EXPECT_EQ(out.size(), static_cast<size_t>(kThreads) * std::string("kept 0\n").size()) << out;
}

TEST(DiagnosticHooks, AcceptNullAndPrintNothing) {
    StderrCapture capture;
    ASSERT_TRUE(capture.valid());
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
    const std::string out = capture.text();
    capture.restore();
    EXPECT_EQ(out, "");
    EXPECT_STREQ(descriptor.name, "resolution");
}

}  // namespace
