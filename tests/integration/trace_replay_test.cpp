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
#include <map>

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

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const Steps kFlatbedPage = [](Frontend& f) {
    f.open("fb-a4");
    f.start();
    f.page();
    f.close();
};

// The trace is appended to a regular file of this user, a new one private;
// never through a symbolic link, into another user's file or a FIFO. A trace
// that cannot be written changes nothing the frontend sees.
TEST_F(TraceTest, GoesOnlyIntoAPrivateFileOfItsOwnUser) {
    const ThrowawayUser other;
    const std::string trace = path("trace"), target = path("target");
    write_file(target, "keep");
    const struct {
        const char* name;
        std::function<bool()> prepare;  // false: the row cannot run here
        bool written;
    } cases[] = {
        {"a new file", [] { return true; }, true},
        {"a file of ours", [&] { write_file(trace, "earlier\n"); return true; }, true},
        {"a symbolic link", [&] { return symlink(target.c_str(), trace.c_str()) == 0; }, false},
        {"a dangling link", [&] { return symlink(path("made").c_str(), trace.c_str()) == 0; }, false},
        {"another user's file", [&] {
             write_file(trace, "theirs");
             return other.ready() && chown(trace.c_str(), other.uid(), other.gid()) == 0 && chmod(trace.c_str(), 0666) == 0;
         }, false},
        {"a fifo", [&] { return mkfifo(trace.c_str(), 0600) == 0; }, false},
        {"a folder", [&] { return mkdir(trace.c_str(), 0700) == 0; }, false},
    };
    Scenario scenario;
    const Outcome untraced = run(kFlatbedPage);
    const mode_t umask_before = umask(022);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(trace);
        std::string before;
        if (!c.prepare()) {
            EXPECT_FALSE(other.ready()) << "the row could not be prepared";
            continue;  // another user's file needs root
        }
        struct stat about {};
        if (lstat(trace.c_str(), &about) == 0 && S_ISREG(about.st_mode)) before = read_file(trace);
        EXPECT_EQ(run(kFlatbedPage, trace), untraced);
        EXPECT_EQ(lstat(trace.c_str(), &about), 0);
        if (c.written) {
            const std::string after = read_file(trace);
            EXPECT_EQ(about.st_mode & 0777, before.empty() ? 0600u : 0644u);
            EXPECT_TRUE(after.starts_with(before) && after.size() > before.size() + 1000) << after.substr(0, 100);
        } else if (S_ISREG(about.st_mode)) {
            EXPECT_EQ(read_file(trace), before) << "written";
        }
        EXPECT_EQ(read_file(target), "keep");
        EXPECT_FALSE(std::filesystem::exists(path("made"))) << "a dangling link's target was made";
    }
    umask(umask_before);
}

// Each call and its return, with the arguments the frontend gave and what it
// got back; a handle is named by its connection's number, and a pointer that
// is no open handle is named 0 without being looked into.
TEST_F(TraceTest, RecordsEachCallWithItsArgumentsAndResults) {
    Scenario scenario;
    setenv("KELVRA_TRACE", path("trace").c_str(), 1);
    SANE_Int version = 0, info = 0, fd = 0, length = 0;
    const SANE_Device** devices = nullptr;
    SANE_Handle handle = nullptr;
    SANE_Word resolution = 0;
    SANE_Parameters params{};
    SANE_Byte buffer[100];
    ASSERT_EQ(sane_kelvra_init(&version, nullptr), SANE_STATUS_GOOD);
    sane_kelvra_get_devices(&devices, SANE_TRUE);
    sane_kelvra_open("no-such-device", &handle);
    ASSERT_EQ(sane_kelvra_open("fb-a4", &handle), SANE_STATUS_GOOD);
    sane_kelvra_get_option_descriptor(handle, OPT_MODE);
    set_string_option(handle, OPT_MODE, "gray");
    resolution = 250;
    sane_kelvra_control_option(handle, OPT_RESOLUTION, SANE_ACTION_SET_VALUE, &resolution, &info);
    sane_kelvra_control_option(handle, OPT_RESOLUTION, SANE_ACTION_GET_VALUE, &resolution, nullptr);
    sane_kelvra_get_parameters(handle, &params);
    sane_kelvra_set_io_mode(handle, SANE_TRUE);
    sane_kelvra_get_select_fd(handle, &fd);
    sane_kelvra_start(handle);
    sane_kelvra_read(handle, buffer, sizeof buffer, &length);
    sane_kelvra_cancel(handle);
    sane_kelvra_close(handle);
    sane_kelvra_close(handle);
    sane_kelvra_exit();

    std::vector<json> calls, frames;
    json start;
    for (json& r : read_transcript(path("trace"))) {
        if (r["event"] == "call" || r["event"] == "return") calls.push_back(std::move(r));
        else if (r["event"] == "frame") frames.push_back(std::move(r));
        else if (r["event"] == "start") start = std::move(r);  // the handle's, the last one
    }
    const int handle_number = start["connection"].get<int>();
    const json h = handle_number;
    const std::vector<std::pair<const char*, json>> expected = {
        {"call", {{"call", "sane_kelvra_init"}, {"authorize", false}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}, {"version_code", 0x01000000}}},
        {"call", {{"call", "sane_kelvra_get_devices"}, {"local_only", true}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}, {"devices", {"fb-a4", "mfp-adf", "duplex-legal"}}}},
        {"call", {{"devicename", "no-such-device"}}},
        {"return", {{"call", "sane_kelvra_open"}, {"status", "SANE_STATUS_INVAL"}}},
        {"call", {{"devicename", "fb-a4"}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}, {"handle", h}}},
        {"call", {{"call", "sane_kelvra_get_option_descriptor"}, {"handle", h}, {"option", OPT_MODE}}},
        {"return", {{"name", "mode"}}},
        {"call", {{"call", "sane_kelvra_get_option_descriptor"}}},  // set_string_option's, for the size
        {"return", {{"name", "mode"}}},
        {"call", {{"call", "sane_kelvra_control_option"}, {"option", OPT_MODE}, {"action", "set"}, {"value", "gray"}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}, {"value", "Gray"}}},
        {"call", {{"option", OPT_RESOLUTION}, {"action", "set"}, {"value", 250}}},
        {"return", {{"value", 200}, {"info", SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS}}},
        {"call", {{"option", OPT_RESOLUTION}, {"action", "get"}}},
        {"return", {{"value", 200}}},
        {"call", {{"call", "sane_kelvra_get_parameters"}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}, {"format", 0}, {"depth", 8}, {"last_frame", true}}},
        {"call", {{"call", "sane_kelvra_set_io_mode"}, {"non_blocking", true}}},
        {"return", {{"status", "SANE_STATUS_UNSUPPORTED"}}},
        {"call", {{"call", "sane_kelvra_get_select_fd"}}},
        {"return", {{"status", "SANE_STATUS_INVAL"}}},
        {"call", {{"call", "sane_kelvra_start"}, {"handle", h}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}}},
        {"call", {{"call", "sane_kelvra_read"}, {"max_length", 100}}},
        {"return", {{"status", "SANE_STATUS_GOOD"}, {"length", 100}}},
        {"call", {{"call", "sane_kelvra_cancel"}, {"handle", h}}},
        {"return", {{"call", "sane_kelvra_cancel"}}},
        {"call", {{"call", "sane_kelvra_close"}, {"handle", h}}},
        {"return", {{"call", "sane_kelvra_close"}}},
        {"call", {{"call", "sane_kelvra_close"}, {"handle", 0}}},
        {"return", {{"call", "sane_kelvra_close"}}},
        {"call", {{"call", "sane_kelvra_exit"}}},
        {"return", {{"call", "sane_kelvra_exit"}}},
    };
    ASSERT_EQ(calls.size(), expected.size());
    const int frontend = calls[0]["thread"].get<int>();
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(calls[i].dump());
        EXPECT_EQ(calls[i]["event"], expected[i].first);
        EXPECT_EQ(calls[i]["thread"], frontend);
        EXPECT_EQ(calls[i]["pid"], getpid());
        for (const auto& [name, value] : expected[i].second.items()) EXPECT_EQ(calls[i][name], value) << name;
        if (i % 2 == 1) {
            EXPECT_EQ(calls[i]["call"], calls[i - 1]["call"]);
        }
    }
    // The page's reader thread wrote the read requests and their replies.
    size_t reads = 0;
    for (const json& f : frames) {
        EXPECT_TRUE(f["connection"] == 1 || f["connection"] == h) << f.dump();
        if (f["command"] != 6) continue;
        ++reads;
        EXPECT_NE(f["thread"], frontend) << f.dump();
    }
    EXPECT_GE(reads, 2u);
}

// With the image bytes in it, a page of 1 MiB replies makes records of more
// than 1 MB on the reader thread while the frontend thread writes its reads:
// every record stays whole (each line is read, each image's bytes match their
// checksum), and the frames are those the simulator sent and received, as its
// transcript has them.
TEST_F(TraceTest, FramesAreTheSimulatorsAndStayWholeWhileTwoThreadsWrite) {
    Scenario scenario("", "piece_size=\"1048576\"");
    run([](Frontend& f) {
        f.open("fb-a4", SOURCE_FLATBED, "Color", 150, 0);
        f.start();
        f.page();
        f.close();
    }, path("trace"));
    kelvra_sim::Trace read;
    std::string error;
    EXPECT_TRUE(kelvra_sim::load_trace(path("trace"), read, error)) << error;

    // Each scan-manager's frames: in the trace by connection, in the transcript by the simulator's pid.
    std::map<int, int> manager_of;  // connection -> pid
    std::map<int, std::vector<json>> traced, transcribed;
    for (json& r : read_transcript(path("trace"))) {
        if (r["event"] == "start") manager_of[r["connection"].get<int>()] = r["manager_pid"].get<int>();
        if (r["event"] == "frame") traced[manager_of.at(r["connection"].get<int>())].push_back(std::move(r));
    }
    for (json& r : scenario.records("frame")) transcribed[r["pid"].get<int>()].push_back(std::move(r));
    ASSERT_EQ(traced.size(), 2u);
    ASSERT_EQ(transcribed.size(), 2u);
    size_t images = 0;
    for (auto& [pid, frames] : traced) {
        SCOPED_TRACE("scan-manager " + std::to_string(pid));
        ASSERT_EQ(frames.size(), transcribed[pid].size());
        for (size_t i = 0; i < frames.size(); ++i) {
            json ours = frames[i], theirs = transcribed[pid][i];
            EXPECT_EQ(ours["way"], theirs["way"] == "sent" ? "received" : "sent");
            for (json* r : {&ours, &theirs}) {
                for (const char* field : {"time_us", "pid", "thread", "connection", "way"}) r->erase(field);
                if ((*r)["kind"] == 2) r->erase("base64");  // the simulator writes only the checksum
            }
            EXPECT_EQ(ours, theirs);
            images += frames[i]["kind"] == 2 && frames[i]["length"] == 1048576 && frames[i].contains("base64");
        }
    }
    EXPECT_GE(images, 5u) << "the page came in fewer pieces of 1 MiB than it should";
}

}  // namespace
