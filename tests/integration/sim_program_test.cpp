// The simulator where no backend test looks: every example scenario of its man
// page and guide is served; a broken scenario is refused (exit 2, no port) with
// the line that is wrong; only the first connection of its own user is served
// (another user's is closed unread); it ends at once when its connection
// closes, whatever it is doing; pages from PNM and PNG files (written here, PNG
// with stored deflate blocks) are fitted to the scan, a page's own file first.
#include "tests/support/sim_client.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iomanip>
#include <sstream>
#include <regex>

#include "tests/support/throwaway_user.h"
#include "tests/support/transcript.h"

using namespace kelvra_test;

namespace {

TEST(SimDocs, EveryExampleScenarioOfTheManPageAndTheGuideServes) {
    std::vector<std::string> examples;  // the blocks between the markers that are whole scenario files
    for (const auto& [file, open, close] : {std::tuple{"kelvra-sim.1", "\n.EX\n", "\n.EE\n"},
                                            {"kelvra-sim-scenario.md", "```xml\n", "```"}}) {
        const std::string text = sim_read_file(std::string(KELVRA_SOURCE_DIR) + "/doc/" + file);
        for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
            const size_t from = at + std::string(open).size();
            const std::string block = std::regex_replace(text.substr(from, text.find(close, from) - from),
                                                         std::regex(R"(\\-)"), "-");  // roff's minus
            if (block.starts_with("<scenario") && block.find("...") == std::string::npos) examples.push_back(block);
        }
    }
    EXPECT_GE(examples.size(), 10u) << "the examples were not found";
    for (const std::string& example : examples) {
        SCOPED_TRACE(example);
        if (example.find("intruder=") != std::string::npos && ::geteuid() != 0) continue;  // root only
        // Its transcripts and a tiny picture for each page source (of any name) in a folder of its own.
        const std::string folder = sim_temp_path("example");
        std::filesystem::create_directory(folder);
        const std::regex file_attribute("file=\"([^\"/]+)\"");
        for (std::sregex_iterator m(example.begin(), example.end(), file_attribute), none; m != none; ++m)
            std::ofstream(folder + "/" + (*m)[1].str()) << "P5 2 1 255\n\x10\xf0";
        std::ofstream(folder + "/s.xml") << std::regex_replace(example, std::regex("=\"/tmp/"), "=\"" + folder + "/");
        SimProcess sim;
        int32_t port = 0;
        ASSERT_TRUE(sim.start({{}, {"KELVRA_SIM_SCENARIO=" + folder + "/s.xml", "KELVRA_SIM_LOG=0"}, {}}) &&
                    sim.read_port(port)) << "the example does not start";
        std::string reply;
        if (port > 0 && port < 65536) {  // an example of a start-up fault serves nothing
            EXPECT_TRUE(sim.connect_to(port) && sim.exchange(0, "<device_discovery/>", reply)) << "not served";
            sim.close_connection();
            EXPECT_EQ(0, sim.wait_exit());
        }
        std::filesystem::remove_all(folder);
    }
}

// At the default log level, a start that fails prints what and where in one
// line: a scenario mistake with its line, a file that cannot be read in plain
// words, a port that cannot be written.
TEST(SimDocs, AFailedStartSaysWhatAndWhereInOneLine) {
    const struct {
        std::string body;  // the scenario from its line 2; empty: none
        std::string scenario_path, argument;
        int status;
        std::string error;
    } cases[] = {
        {"<fault/>", "", "", 2, "line 2: unknown element <fault>"},
        {"\n<reply command=\"2\" acton=\"close\"/>", "", "", 2, "line 3: <reply> has no attribute \"acton\""},
        {"<page number=\"1\"/>", "", "", 2, "line 2: <page> needs a read_status, an action or extra"},
        {"<startup port=\"-1\" action=\"exit\"/>", "", "", 2, "line 2: <startup> takes exactly one"},
        {"<startup intruder=\"no-such-user-kelvra\"/>", "", "", 2, "line 2: "},
        {"\n\n<source file=\"/nonexistent/p.png\"/>", "", "", 2, "line 4: page source: cannot open the image"},
        {"\n<reply command=1/>", "", "", 2, "line 3: "},  // not XML: the parser's line
        {"<page number=\"1\" read_status=\"4\">", "", "", 2, "tag mismatch: page line 2"},  // its first error
        {"", "/nonexistent/kelvra.xml", "", 2, "/nonexistent/kelvra.xml: cannot read the scenario: No such file"},
        {"", "/tmp", "", 2, "/tmp: cannot read the scenario: is a directory"},
        {"", "", "0", 1, "cannot write the port to descriptor 0: Bad file descriptor"},  // standard input
        // Mistakes in a device that the backend would pass on without a word.
        {"<device name=\"a\" units=\"flatbed adff\"/>", "", "", 2, "line 2: unknown scanner unit \"adff\""},
        {"<device name=\"a\" units=\"adf adf\"/>", "", "", 2, "line 2: scanner unit \"adf\" is listed twice"},
        {"<device name=\"a\"/>\n<device name=\"a\"/>", "", "", 2, "line 3: a second device named \"a\""},
        {"<device name=\"a\" flatbed=\"100 50 64 7014\"/>", "", "", 2, "a minimum above its maximum"},
        {"<device name=\"a\" adf=\"64 5100 8400 64\"/>", "", "", 2, "a minimum above its maximum"},
        {"<device name=\"a\" basic_resolution=\"0\"/>", "", "", 2, "line 2: basic_resolution must be at least 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body + c.scenario_path + c.argument);
        const std::string err_path = sim_temp_path("stderr");
        SimProcess sim;
        int32_t port = 0;
        std::vector<std::string> env;
        if (!c.scenario_path.empty()) env.push_back("KELVRA_SIM_SCENARIO=" + c.scenario_path);
        ASSERT_TRUE(sim.start({c.body.empty() ? "" : "<scenario>\n" + c.body + "\n</scenario>\n", env, err_path,
                               c.argument}));
        EXPECT_FALSE(sim.read_port(port)) << "a port was written";
        EXPECT_EQ(c.status, sim.wait_exit());
        const std::string err = sim_read_file(err_path);
        EXPECT_TRUE(err.find(c.error) != std::string::npos) << err;
        EXPECT_TRUE(err.find('\n') == err.size() - 1) << "not one line:\n" << err;
        ::unlink(err_path.c_str());
    }
}

// A request announces its size before its bytes: one larger than any request
// can be is refused at once, before anything is allocated for it.
TEST(SimLimits, ARequestAboveOneMebibyteIsRefusedUnread) {
    const struct {
        uint64_t length;
        bool served;
    } cases[] = {{1 << 20, true}, {(1 << 20) + 1, false}, {UINT64_MAX, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string err_path = sim_temp_path("stderr");
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect({"", {}, err_path}));
        const kelvra_sim::FrameHeader request{0, 0, 1, c.length};
        ASSERT_TRUE(sim.send_raw(std::string(reinterpret_cast<const char*>(&request), sizeof request)));
        std::string reply;
        if (c.served) {
            ASSERT_TRUE(sim.send_raw(std::string(c.length, ' ')));
            EXPECT_TRUE(sim.read_reply(reply)) << "the largest request is answered";
            sim.close_connection();
            EXPECT_EQ(0, sim.wait_exit());
        } else {
            EXPECT_EQ(1, sim.wait_exit(2000)) << "it waits for bytes of a request it should refuse";
            EXPECT_NE(sim_read_file(err_path).find("refusing a request of " + std::to_string(c.length) + " bytes"),
                      std::string::npos);
        }
        ::unlink(err_path.c_str());
    }
}

TEST(SimSecurity, ServesOnlyTheFirstConnectionOfItsOwnUser) {
    const bool root = ::geteuid() == 0;  // only root can start the intruder as nobody
    const std::string log_path = sim_temp_path("log");
    SimProcess sim;
    ASSERT_TRUE(sim.start({root ? "<scenario><startup intruder=\"nobody\"/></scenario>" : "", {"KELVRA_SIM_LOG=1"},
                           log_path}));
    int32_t port = 0;
    std::string reply;
    ASSERT_TRUE(sim.read_port(port) && sim.connect_to(port) && sim.exchange(2, {}, reply)) << "the client is served";
    EXPECT_FALSE(SimProcess().connect_to(port)) << "the port must be closed after the first client";
    ASSERT_TRUE(sim.exchange(5, {}, reply)) << "the first connection goes on";
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit());
    const std::string log = sim_read_file(log_path);  // the intruder's status 0: closed without a byte of reply
    for (const char* line : {"refused a connection from uid 65534", "intruder (user nobody) exited with status 0"})
        EXPECT_TRUE(!root || log.find(line) != std::string::npos) << line << " in:\n" << log;
    ::unlink(log_path.c_str());
}

// The transcript and the log file are for this user alone, whatever waits at
// their path: a symbolic link another user planted is not followed, another
// user's file is not written (nor left readable to them), a FIFO does not hold
// up the start; a new file is made with mode 0600.
TEST(SimSecurity, TranscriptAndLogFileRefuseLinksAndOtherUsersFiles) {
    const ThrowawayUser other;
    char pattern[] = "/tmp/kelvra-sim-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string folder = pattern, target = folder + "/target";
    std::ofstream(target) << "keep";
    const struct {
        const char* what;
        std::function<bool(const std::string&)> prepare;  // false: the row cannot run here
        std::string error;                                // empty: served
    } cases[] = {
        {"link", [&](const std::string& p) { return ::symlink(target.c_str(), p.c_str()) == 0; }, "symbolic link"},
        {"dangling link", [&](const std::string& p) { return ::symlink((folder + "/made").c_str(), p.c_str()) == 0; },
         "symbolic link"},
        {"another user's file", [&](const std::string& p) {
             std::ofstream(p) << "theirs";
             return other.ready() && ::chown(p.c_str(), other.uid(), other.gid()) == 0 && ::chmod(p.c_str(), 0666) == 0;
         }, "belongs to uid"},
        {"fifo", [&](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, "not a regular file"},
        {"new file", [&](const std::string&) { return true; }, ""},
    };
    for (const bool log_file : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(log_file ? "log file, " : "transcript, ") + c.what);
            const std::string path = folder + "/file", err_path = folder + "/stderr";
            std::filesystem::remove(path);
            std::filesystem::remove(err_path);
            if (!c.prepare(path)) {
                EXPECT_FALSE(other.ready()) << "the row could not be prepared";
                continue;  // another user's file needs root
            }
            SimProcess sim;
            int32_t port = 0;
            ASSERT_TRUE(sim.start({log_file ? "" : "<scenario transcript=\"" + path + "\"/>",
                                   {log_file ? "KELVRA_SIM_LOG_FILE=" + path : "KELVRA_SIM_LOG=0"}, err_path}));
            if (c.error.empty()) {
                std::string reply;
                EXPECT_TRUE(sim.read_port(port) && sim.connect_to(port) && sim.exchange(0, "<device_discovery/>", reply));
                sim.close_connection();
                EXPECT_EQ(0, sim.wait_exit());
                struct stat about {};
                EXPECT_TRUE(::lstat(path.c_str(), &about) == 0 && (about.st_mode & 0777) == 0600) << about.st_mode;
            } else {
                EXPECT_FALSE(sim.read_port(port));
                EXPECT_EQ(2, sim.wait_exit());
                EXPECT_NE(sim_read_file(err_path).find(c.error), std::string::npos) << sim_read_file(err_path);
            }
            EXPECT_EQ(sim_read_file(target), "keep");
            EXPECT_FALSE(std::filesystem::exists(folder + "/made")) << "a dangling link's target was made";
        }
    }
    std::filesystem::remove_all(folder);
}

// The transcript tells both ways of every exchange in order, with time stamps:
// a request payload that is not UTF-8 in base64, an image payload as the
// FNV-1a checksum of the bytes the client got, and the scripted fault that
// fired with its line in the scenario.
TEST(SimTranscript, RecordsBothWaysPayloadsAndTheFaultsThatFired) {
    const std::string path = sim_temp_path("transcript");
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect({"<scenario transcript=\"" + path + "\" piece_size=\"1000\">\n"
                                       "<reply command=\"0\" nth=\"2\" action=\"close\"/>\n</scenario>", {}, {}}));
    const std::string odd_request = "\xff\xfe<device_discovery/>";
    std::string reply, image;
    ASSERT_TRUE(sim.exchange(0, odd_request, reply) && sim.exchange(3, sim_scan_parameter(0, 1, 40, 30), reply) &&
                sim.exchange(4, "", reply) && sim.exchange(6, "", image));
    EXPECT_FALSE(sim.exchange(0, "<device_discovery/>", reply)) << "the scripted close";
    EXPECT_EQ(0, sim.wait_exit());
    uint64_t fnv = 0xcbf29ce484222325ull;
    for (unsigned char byte : image) fnv = (fnv ^ byte) * 0x100000001b3ull;

    std::vector<std::string> frames;  // way and command
    int64_t last_time = 0;
    for (const nlohmann::json& r : read_transcript(path)) {
        EXPECT_GE(r["time_us"].get<int64_t>(), last_time) << r.dump();
        last_time = r["time_us"].get<int64_t>();
        if (r["event"] == "fault") {
            EXPECT_TRUE(r["fault"] == "reply" && r["line"] == 2 && r["command"] == 0 && r["nth"] == 2 &&
                        r["action"] == "close") << r.dump();
            frames.push_back("fault");
        }
        if (r["event"] != "frame") continue;
        frames.push_back(r["way"].get<std::string>() + " " + std::to_string(r["command"].get<int>()));
        if (frames.size() == 1) {
            EXPECT_EQ(frame_payload(r), odd_request) << r.dump();
        }
        if (frames.back() == "sent 6") {
            EXPECT_EQ(r["fnv1a64"], (std::ostringstream() << std::hex << std::setw(16) << std::setfill('0') << fnv).str());
            EXPECT_TRUE(r["kind"] == 2 && r["length"] == 1000 && r["bytes"] == 1000 && !r.contains("text")) << r.dump();
        }
    }
    EXPECT_EQ(frames, (std::vector<std::string>{"received 0", "sent 0", "received 3", "sent 3", "received 4", "sent 4",
                                                "received 6", "sent 6", "received 0", "fault"}));
    ::unlink(path.c_str());
}

// A request the opened device would refuse (or that comes out of order) is
// refused in a strict scenario, as the device would: an error reply where a
// document is due, a failed start, a read that finds no job; otherwise it is
// answered as far as it can be. Both ways it is a warning in the transcript.
TEST(SimStrict, RequestsTheDeviceWouldRefuse) {
    auto open = [](const char* name, const char* model, const char* product) {
        return std::pair<uint32_t, std::string>{
            1, std::string("<device model=\"") + model + "\" host_name=\"\" vendor_id=\"0x2d1a\" product_id=\"" +
                   product + "\" usb_serial_id=\"KV" + (product + 2) + "-0001\" deviceName=\"" + name + "\"/>"};
    };
    const auto fb_a4 = open("fb-a4", "FB-4200 Flatbed", "0x4200"), mfp = open("mfp-adf", "MF-5300 ADF", "0x5300");
    // placement side colour x y width height (at 600 dpi) resolution output-width output-height
    auto scan = [](std::vector<uint64_t> v) {
        const char* names[] = {"original_placement", "scan_side",     "color_mode",   "input_position_x",
                               "input_position_y",   "input_width",   "input_height", "output_resolution",
                               "output_width",       "output_height"};
        std::string xml = "<scan_parameter input_resolution=\"600\" black_text_mode=\"0\"";
        for (size_t i = 0; i < v.size(); ++i) xml += std::string(" ") + names[i] + "=\"" + std::to_string(v[i]) + "\"";
        return std::pair<uint32_t, std::string>{3, xml + "/>"};
    };
    const auto a4 = scan({0, 0, 2, 0, 0, 5100, 7014, 75, 638, 877});
    const std::pair<uint32_t, std::string> start{4, ""}, read{6, ""};
    const struct {
        const char* what;
        std::vector<std::pair<uint32_t, std::string>> requests;  // the last one's reply is checked
        std::string strict, lenient;  // in the reply's payload; empty: a bare reply without payload
        std::string warning;
    } cases[] = {
        {"parameters before open", {a4}, "", "<image_info", "before any open device request"},
        {"feeder job on a flatbed", {fb_a4, scan({1, 0, 2, 0, 0, 5100, 7014, 75, 638, 877})}, "", "<image_info",
         "a feeder scan, but fb-a4 has no adf unit"},
        {"duplex on a one-sided feeder", {mfp, scan({1, 1, 1, 0, 0, 5100, 7014, 75, 638, 877})}, "", "<image_info",
         "a duplex scan, but mfp-adf has no adf_duplex unit"},
        {"4,000,000 pixels at 7 dpi", {fb_a4, scan({0, 0, 2, 0, 0, 5100, 7014, 7, 4000000, 82})}, "", "<image_info",
         "output_width 4000000 is not input_width 5100 at 7 dpi (60)"},
        {"colour mode 9", {fb_a4, scan({0, 0, 9, 0, 0, 5100, 7014, 75, 638, 877})}, "", "<image_info",
         "color_mode 9 is neither"},
        {"area beyond the bed", {fb_a4, scan({0, 0, 2, 100, 0, 5100, 7014, 75, 638, 877})}, "", "<image_info",
         "the area ends at 5200 pixels, beyond the unit's 5100"},
        {"too narrow", {fb_a4, scan({0, 0, 2, 0, 0, 62, 7014, 75, 8, 877})}, "", "<image_info",
         "input_width 62 is outside the unit's 64 to 5100"},
        {"rows beyond 32 bits", {fb_a4, scan({0, 0, 2, 0, 0, 5100, 7014, 180000000, 1530000000, 2104200000})}, "",
         "<image_info", "gives bytes_per_row 4590000000, more than the 32 bits"},
        {"start before open", {start}, "scan_status=\"4\"", "scan_status=\"0\"", "without an open device"},
        {"start without parameters", {fb_a4, start}, "scan_status=\"4\"", "scan_status=\"0\"",
         "without accepted scan parameters"},
        {"start after refused parameters", {fb_a4, scan({0, 0, 9, 0, 0, 5100, 7014, 75, 638, 877}), start},
         "scan_status=\"4\"", "scan_status=\"0\"", "color_mode 9"},
        {"read before start", {fb_a4, a4, read}, "read_status=\"3\"", "read_status=\"2\"", "without a started job"},
    };
    for (const bool strict : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(strict ? "strict, " : "lenient, ") + c.what);
            const std::string path = sim_temp_path("transcript");
            SimProcess sim;
            ASSERT_TRUE(sim.start_and_connect({"<scenario transcript=\"" + path + "\" strict=\"" +
                                                   (strict ? "1" : "0") + "\"/>", {"KELVRA_SIM_LOG=0"}, "/dev/null"}));
            std::string reply;
            uint32_t kind = 99;
            for (const auto& [command, xml] : c.requests) ASSERT_TRUE(sim.exchange(command, xml, reply, &kind));
            const std::string& expected = strict ? c.strict : c.lenient;
            if (expected.empty())
                EXPECT_TRUE(kind == 0 && reply.empty()) << "kind " << kind << ": " << reply;
            else
                EXPECT_NE(reply.find(expected), std::string::npos) << reply;
            sim.close_connection();
            EXPECT_EQ(0, sim.wait_exit());
            std::string warnings;
            for (const nlohmann::json& r : read_transcript(path))
                if (r["event"] == "warning" && r["refused"] == strict) warnings += r["text"].get<std::string>() + "\n";
            EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
            ::unlink(path.c_str());
        }
    }
}

// A scan-manager that outlived its connection would hold up the backend's close.
TEST(SimLifetime, ExitsPromptlyWhenTheConnectionCloses) {
    auto frame = [](uint32_t command, const std::string& xml) {
        const kelvra_sim::FrameHeader header{command, 0, xml.empty() ? 0u : 1u, xml.size()};
        return std::string(reinterpret_cast<const char*>(&header), sizeof header) + xml;
    };
    auto reading = [&](uint32_t color_mode, uint32_t width, uint32_t height) {  // a scan, then a read request
        return frame(3, sim_scan_parameter(0, color_mode, width, height)) + frame(4, "") + frame(6, "");
    };
    const struct {
        std::string scenario, requests;  // sent at once
        int answered;                    // replies read before closing
    } cases[] = {
        {"", "", 0},
        {"", frame(0, std::string(100, ' ')).substr(0, 30), 0},  // inside a request's payload
        {"<scenario piece_delay_ms=\"60000\"/>", reading(1, 40, 40), 2},
        {"<scenario><reply command=\"2\" delay_ms=\"60000\"/></scenario>", frame(2, ""), 0},
        {"<scenario piece_size=\"67108864\"/>", reading(2, 5100, 7014), 2},  // 64 MiB the client does not read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario + " " + std::to_string(c.requests.size()));
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect({c.scenario, {}, {}}) && sim.send_raw(c.requests));
        std::string reply;
        for (int i = 0; i < c.answered; ++i) ASSERT_TRUE(sim.read_reply(reply));
        EXPECT_EQ(-1, sim.wait_exit(100)) << "it runs while the connection is open";
        const auto closed_at = std::chrono::steady_clock::now();
        sim.close_connection();
        EXPECT_EQ(0, sim.wait_exit(3000));
        EXPECT_LT(std::chrono::steady_clock::now() - closed_at, std::chrono::milliseconds(1500));
    }
}

// ------------------------------------------------------------- page sources

using Value = uint8_t (*)(uint32_t x, uint32_t y, uint32_t channel);
uint8_t sample(uint32_t x, uint32_t y, uint32_t c) { return uint8_t(x * 37 + y * 91 + c * 53 + 11); }

// Rows of `channels` samples a pixel, then `alpha` bytes the page must drop; a
// PNG row starts with filter 0, and at depth 16 a sample's low byte is dropped.
std::string raster(uint32_t w, uint32_t h, uint32_t channels, Value value, bool png = false, int depth = 8,
                   uint32_t alpha = 0) {
    std::string out;
    for (uint32_t y = 0; y < h; ++y) {
        out.append(png, '\0');
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t c = 0; c < channels + alpha; ++c)
                out += std::string{char(c < channels ? value(x, y, c) : x * 7), char(~x)}.substr(0, depth / 8);
    }
    return out;
}

std::string pnm(uint32_t w, uint32_t h, uint32_t channels, Value value) {
    return (channels == 1 ? "P5" : "P6") + ("\n# a test's\n" + std::to_string(w)) + " " + std::to_string(h) +
           "\n255\n" + raster(w, h, channels, value);
}

std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string chunk(const std::string& type, const std::string& data) {
    uint32_t crc = ~0u;
    for (unsigned char byte : type + data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return be32(uint32_t(data.size())) + type + data + be32(~crc);
}

std::string png(uint32_t w, uint32_t h, int depth, int type, uint32_t channels, Value value, uint32_t alpha = 0) {
    const std::string raw = raster(w, h, channels, value, true, depth, alpha);
    const size_t n = raw.size();  // one stored deflate block: no compressor needed
    std::string zlib = "\x78\x01\x01" + std::string{char(n), char(n >> 8), char(~n), char(~n >> 8)} + raw;
    uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) b = (b + (a = (a + byte) % 65521)) % 65521;
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", be32(w) + be32(h) + char(depth) + char(type) + std::string(3, '\0')) +
           chunk("IDAT", zlib + be32(b << 16 | a)) + chunk("IEND", "");
}

struct Picture {
    uint32_t width, height, channels;
    Value value;  // the pixels as the page must show them
};

std::string fitted(const Picture& p, uint32_t width, uint32_t height, bool colour) {
    std::string out;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t sx = uint32_t((x + 0.5) * p.width / width), sy = uint32_t((y + 0.5) * p.height / height);
            uint8_t v[3];
            for (uint32_t c = 0; c < 3; ++c) v[c] = p.value(sx, sy, p.channels == 1 ? 0 : c);
            if (colour) out.append(reinterpret_cast<const char*>(v), 3);  // grey is repeated; else the chart's weights:
            else out += char(p.channels == 1 ? v[0] : (77 * v[0] + 150 * v[1] + 29 * v[2]) >> 8);
        }
    return out;
}

TEST(SimPageSource, FilesAreFittedToTheScanAndAPagesOwnFileComesFirst) {
    const std::string page_2 = sim_temp_path("page-2.pgm");
    std::ofstream(page_2) << pnm(4, 3, 1, sample);
    const struct {
        std::string file;
        Picture picture;
        uint32_t width, height;
        bool colour, feeder;  // a feeder job's page 2 has a file of its own
    } cases[] = {
        {pnm(23, 17, 3, sample), {23, 17, 3, sample}, 23, 17, true, false},
        {pnm(23, 17, 3, sample), {23, 17, 3, sample}, 23, 17, false, false},
        {pnm(7, 5, 1, sample), {7, 5, 1, sample}, 20, 13, true, false},
        {png(40, 30, 8, 2, 3, sample), {40, 30, 3, sample}, 10, 6, false, false},
        {png(23, 17, 16, 6, 3, sample, 1), {23, 17, 3, sample}, 23, 17, true, false},
        {png(2, 2, 8, 2, 3, sample), {2, 2, 3, sample}, 301, 200, true, false},
        {pnm(7, 5, 1, sample), {7, 5, 1, sample}, 5, 3, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string path = sim_temp_path("picture");
        std::ofstream(path, std::ios::binary) << c.file;
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect({"<scenario piece_size=\"7001\"><source file=\"" + path + "\"/>" +
                                               (c.feeder ? "<source page=\"2\" file=\"" + page_2 + "\"/>" : "") +
                                               "</scenario>", {}, {}}));
        std::string reply;
        ASSERT_TRUE(sim.exchange(3, sim_scan_parameter(c.feeder, c.colour ? 2 : 1, c.width, c.height), reply) &&
                    sim.exchange(4, "", reply));
        for (uint32_t number = 1; number <= (c.feeder ? 3 : 1); ++number) {
            std::string page;
            for (uint32_t kind = 2; sim.exchange(6, "", reply, &kind) && kind == 2;) page += reply;
            const Picture own{4, 3, 1, sample}, expected = number == 2 ? own : c.picture;
            EXPECT_TRUE(page == fitted(expected, c.width, c.height, c.colour)) << "page " << number;
        }
        ::unlink(path.c_str());
    }
    ::unlink(page_2.c_str());
}

}  // namespace
