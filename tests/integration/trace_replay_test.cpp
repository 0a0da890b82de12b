// The trace through the library: a session with a fault, recorded with
// KELVRA_TRACE, gives the statuses and pages it gives untraced, and replayed
// by the simulator alone it gives them again (image bytes left out of the
// trace: the same statuses and page sizes). A replay whose frontend asks for
// something else stops at the request that differs. The records themselves:
// every call with its arguments and results, the frames as the simulator saw
// them, whole while two threads write, into a private file only.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>

#include "backend/backend.h"
#include "debug/diagnostics.h"
#include "options/options.h"
#include "simulator/trace_reader.h"
#include "tests/support/frontend.h"
#include "tests/support/throwaway_user.h"
#include "tests/support/transcript.h"

namespace {

using namespace kelvra_test;
using nlohmann::json;

// What a frontend saw: each call's status (and whether it waited out the
// testing library's limit of 2 s), and the bytes of each page read.
struct Outcome {
    std::vector<std::string> calls;
    std::vector<std::string> pages;
    bool operator==(const Outcome&) const = default;
};
void PrintTo(const Outcome& o, std::ostream* out) {
    for (const std::string& call : o.calls) *out << call << "; ";
    for (const std::string& page : o.pages) *out << "page of " << page.size() << " bytes; ";
}

// A frontend's steps that note each status.
class Frontend {
public:
    Outcome outcome;
    SANE_Handle handle = nullptr;

    void open(const char* name, const char* source = SOURCE_FLATBED, const char* mode = "Gray", int dpi = 75,
              double width_mm = 20) {
        note("open", sane_kelvra_open(name, &handle));
        if (handle == nullptr) return;
        note("source", set_string_option(handle, OPT_SOURCE, source));
        note("mode", set_string_option(handle, OPT_MODE, mode));
        note("resolution", set_word_option(handle, OPT_RESOLUTION, dpi));
        if (width_mm > 0) {
            note("br-x", set_word_option(handle, OPT_BR_X, SANE_FIX(width_mm)));
            note("br-y", set_word_option(handle, OPT_BR_Y, SANE_FIX(15)));
        }
    }
    SANE_Status parameters() {
        SANE_Parameters params{};
        return note("parameters", sane_kelvra_get_parameters(handle, &params));
    }
    SANE_Status start() { return note("start", sane_kelvra_start(handle)); }
    SANE_Status page() {  // reads to the status that ends the page
        PageRead page;
        const double milliseconds = milliseconds_of([&] { page = read_page(handle); });
        outcome.pages.push_back(page.bytes);
        note("read", page.final_status);
        if (milliseconds > 1500) outcome.calls.back() += " after the limit";
        return page.final_status;
    }
    void read_bytes(int count) {
        std::vector<SANE_Byte> buffer(count);
        SANE_Int length = 0;
        note("read", sane_kelvra_read(handle, buffer.data(), count, &length));
        outcome.calls.back() += " " + std::to_string(length);
    }
    void cancel() {
        sane_kelvra_cancel(handle);
        outcome.calls.push_back("cancel");
    }
    void close() {
        sane_kelvra_close(handle);
        outcome.calls.push_back("close");
    }

private:
    SANE_Status note(const char* call, SANE_Status status) {
        outcome.calls.push_back(std::string(call) + " " + get_status_string(status));
        return status;
    }
};
using Steps = std::function<void(Frontend&)>;

// A folder of the test's own, for traces and their copies.
class TraceTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kelvra-trace-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        unsetenv("KELVRA_TRACE");
        unsetenv("KELVRA_TRACE_IMAGES");
        std::filesystem::remove_all(folder_);
    }
    std::string path(const std::string& name) const { return folder_ + "/" + name; }

    // One session of the frontend, from init to exit, with the trace at `trace` ("": none).
    static Outcome run(const Steps& steps, const std::string& trace = "", bool images = true) {
        if (!trace.empty()) setenv("KELVRA_TRACE", trace.c_str(), 1);
        if (images) setenv("KELVRA_TRACE_IMAGES", "1", 1);
        SANE_Int version = 0;
        EXPECT_EQ(sane_kelvra_init(&version, nullptr), SANE_STATUS_GOOD);  // reads the environment afresh
        Frontend frontend;
        steps(frontend);
        sane_kelvra_exit();
        unsetenv("KELVRA_TRACE");
        unsetenv("KELVRA_TRACE_IMAGES");
        return frontend.outcome;
    }

    // A replay counts the simulators its process starts per trace file: each replay gets a copy.
    std::string copy(const std::string& trace, const std::string& name, bool images = true) {
        std::ifstream in(trace);
        std::ofstream out(path(name));
        for (std::string line; std::getline(in, line);) {
            json record = json::parse(line);
            if (!images && record["event"] == "frame" && record["kind"] == 2) record.erase("base64");
            out << record.dump() << "\n";
        }
        return path(name);
    }

    // The simulators of a replay under `scenario`: none diverged, each ended with status 0.
    static void expect_clean_replay(const Scenario& scenario) {
        EXPECT_TRUE(scenario.records("divergence").empty()) << scenario.records("divergence").front().dump();
        const auto ends = scenario.records("end");
        EXPECT_FALSE(ends.empty());
        for (const json& end : ends) EXPECT_EQ(end["status"], 0) << end.dump();
    }

    std::string folder_;
};

struct Case {
    const char* name;
    std::string elements;  // the fault, inside <scenario>
    Steps steps;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case kCases[] = {
    {"the feeder jams on page 2", "<page number=\"2\" read_status=\"4\"/>",
     [](Frontend& f) {
         f.open("mfp-adf", SOURCE_ADF);
         for (int page = 0; page < 4 && f.start() == SANE_STATUS_GOOD && f.page() == SANE_STATUS_EOF; ++page) {
         }
         f.close();
     }},
    // A page larger than the page pipe and a piece: its reader thread is in the
    // middle of its first reply when the frontend cancels.
    {"a cancel in the middle of a page", "",
     [](Frontend& f) {
         f.open("fb-a4", SOURCE_FLATBED, "Color", 75, 0);
         f.start();
         f.read_bytes(1000);
         f.cancel();
         f.read_bytes(1000);
         f.start();
         f.page();
         f.close();
     }},
    {"the device is busy at the first start", "<reply command=\"4\" nth=\"1\"><![CDATA[<status scan_status=\"2\"/>]]></reply>",
     [](Frontend& f) {
         f.open("fb-a4");
         f.parameters();
         f.start();
         f.page();
         f.start();
         f.page();
         f.close();
     }},
    {"the connection closes at a page's start", "<page number=\"1\" action=\"close\"/>",
     [](Frontend& f) {
         f.open("fb-a4");
         f.start();
         f.page();
         f.close();
     }},
    // The testing library gives up after 2 s.
    {"a read request is never answered", "<reply command=\"6\" nth=\"1\" action=\"silence\"/>",
     [](Frontend& f) {
         f.open("fb-a4");
         f.start();
         f.page();
         f.close();
     }},
};

class TraceReplay : public TraceTest, public testing::WithParamInterface<Case> {};
INSTANTIATE_TEST_SUITE_P(Faults, TraceReplay, testing::ValuesIn(kCases));

TEST_P(TraceReplay, GivesTheRecordedStatusesAndPages) {
    const Case& c = GetParam();
    Outcome untraced, recorded;
    {
        Scenario scenario(c.elements);
        untraced = run(c.steps);
        recorded = run(c.steps, path("trace.jsonl"));
    }
    EXPECT_EQ(recorded, untraced) << "the trace changed what the frontend saw";
    ASSERT_GT(recorded.calls.size(), 5u);
    {
        Scenario replay("", "replay=\"" + copy(path("trace.jsonl"), "with-images.jsonl") + "\"");
        EXPECT_EQ(run(c.steps), recorded);
        expect_clean_replay(replay);
    }
    // Without the image bytes: a counting pattern of each reply's length.
    Scenario replay("", "replay=\"" + copy(path("trace.jsonl"), "without-images.jsonl", false) + "\"");
    const Outcome patterned = run(c.steps);
    EXPECT_EQ(patterned.calls, recorded.calls);
    ASSERT_EQ(patterned.pages.size(), recorded.pages.size());
    for (size_t i = 0; i < patterned.pages.size(); ++i) {
        EXPECT_EQ(patterned.pages[i].size(), recorded.pages[i].size()) << "page " << i + 1;
        EXPECT_TRUE(patterned.pages[i].empty() || patterned.pages[i] != recorded.pages[i]) << "page " << i + 1;
    }
    expect_clean_replay(replay);
}

// The frontend replaying asks for something the recorded one did not: the
// simulator ends the replay at that request, with both versions and exit
// status 3, and the call that sent it fails.
TEST_F(TraceTest, AReplayStopsAtTheRequestThatDiffers) {
    const Steps recorded_steps = [](Frontend& f) {
        f.open("fb-a4");
        f.parameters();
        f.start();
        f.page();
        f.close();
    };
    {
        Scenario scenario;
        run(recorded_steps, path("trace.jsonl"));
    }
    // The lines of the requests of scan parameters: get_parameters', then start's.
    std::vector<long> parameters_lines;
    long line = 0;
    std::ifstream in(path("trace.jsonl"));
    for (std::string text; std::getline(in, text);) {
        const json r = json::parse(text);
        ++line;
        if (r["event"] == "frame" && r["way"] == "sent" && r["command"] == 3) parameters_lines.push_back(line);
    }
    ASSERT_EQ(parameters_lines.size(), 2u);
    const long parameters_line = parameters_lines[0];
    const struct {
        const char* name;
        Steps steps;
        std::string failed;  // the call whose request differed
        std::string text, recorded, received;
    } cases[] = {
        {"another resolution", [](Frontend& f) { f.open("fb-a4", SOURCE_FLATBED, "Gray", 150); f.parameters(); },
         "parameters", "request 2 (trace line " + std::to_string(parameters_line) + ") differs",
         "output_resolution=\"75\"", "output_resolution=\"150\""},
        {"another mode", [](Frontend& f) { f.open("fb-a4", SOURCE_FLATBED, "Color"); f.parameters(); },
         "parameters", "request 2 (trace line " + std::to_string(parameters_line) + ") differs",
         "color_mode=\"1\"", "color_mode=\"2\""},
        // start sends the scan parameters again, then its own request.
        {"a start without the parameters asked first", [](Frontend& f) { f.open("fb-a4"); f.start(); },
         "start", "request 3 (trace line " + std::to_string(parameters_lines[1]) +
                      ") differs from the recording: another command (4, recorded 3)",
         "command 3 (scan-parameter)", "command 4 (start-scan)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario replay("", "replay=\"" + copy(path("trace.jsonl"), std::string(c.name) + ".jsonl") + "\"");
        const Outcome outcome = run(c.steps);
        EXPECT_EQ(outcome.calls.back(), c.failed + " " + get_status_string(SANE_STATUS_IO_ERROR));
        const auto divergences = replay.records("divergence");
        ASSERT_EQ(divergences.size(), 1u);
        EXPECT_NE(divergences[0]["text"].get<std::string>().find(c.text), std::string::npos) << divergences[0].dump();
        EXPECT_NE(divergences[0]["recorded"].get<std::string>().find(c.recorded), std::string::npos);
        EXPECT_NE(divergences[0]["received"].get<std::string>().find(c.received), std::string::npos);
        EXPECT_EQ(replay.records("end").back()["status"], 3);
    }
}

}  // namespace
