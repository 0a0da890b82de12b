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
using Request = std::pair<uint32_t, std::string>;  // command, payload

// The open request of a built-in USB device.
Request open_request(const char* name, const char* model, const char* product) {
    return {1, std::string("<device model=\"") + model + "\" host_name=\"\" vendor_id=\"0x2d1a\" product_id=\"" +
                   product + "\" usb_serial_id=\"KV" + (product + 2) + "-0001\" deviceName=\"" + name + "\"/>"};
}
const Request fb_a4 = open_request("fb-a4", "FB-4200 Flatbed", "0x4200");
const Request mfp = open_request("mfp-adf", "MF-5300 ADF", "0x5300");

// A scan parameter request at 600 dpi: placement side colour x y width height
// resolution output-width output-height.
Request scan(std::vector<uint64_t> v) {
    const char* names[] = {"original_placement", "scan_side",   "color_mode",   "input_position_x",
                           "input_position_y",   "input_width", "input_height", "output_resolution",
                           "output_width",       "output_height"};
    std::string xml = "<scan_parameter input_resolution=\"600\" black_text_mode=\"0\"";
    for (size_t i = 0; i < v.size(); ++i) xml += std::string(" ") + names[i] + "=\"" + std::to_string(v[i]) + "\"";
    return {3, xml + "/>"};
}
const Request a4 = scan({0, 0, 2, 0, 0, 5100, 7014, 75, 638, 877});  // the whole bed in colour at 75 dpi

TEST(SimStrict, RequestsTheDeviceWouldRefuse) {
    const Request start{4, ""}, read{6, ""};
    const struct {
        const char* what;
        std::vector<Request> requests;  // the last one's reply is checked
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
    std::string zlib = "\x78\x01";  // stored deflate blocks of up to 65535 bytes: no compressor needed
    for (size_t at = 0; at < raw.size(); at += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        zlib += char(at + n == raw.size()) + std::string{char(n), char(n >> 8), char(~n), char(~n >> 8)} + raw.substr(at, n);
    }
    uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) b = (b + (a = (a + byte) % 65521)) % 65521;
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", be32(w) + be32(h) + char(depth) + char(type) + std::string(3, '\0')) +
           chunk("IDAT", zlib + be32(b << 16 | a)) + chunk("IEND", "");
}

struct Picture {
    uint32_t width, height, channels;
    Value value;  // the pixels as the page must show them
};

// Page 1 of a fresh simulator after `requests` and a start.
std::string first_page(const std::vector<Request>& requests) {
    SimProcess sim;
    std::string reply, page;
    if (!sim.start_and_connect({"<scenario strict=\"1\" piece_size=\"1048576\"/>", {}, {}})) return "no simulator";
    for (const auto& [command, xml] : requests)
        if (!sim.exchange(command, xml, reply)) return "no reply";
    if (!sim.exchange(4, "", reply)) return "no start";
    for (uint32_t kind = 2; sim.exchange(6, "", reply, &kind) && kind == 2;) page += reply;
    return page;
}

// A scan of part of the area is that part of the whole page at the same
// resolution, byte for byte: the chart lies on the unit's whole area.
TEST(SimPageCut, AnAreaIsThatRegionOfTheWholePage) {
    const Request duplex_legal = open_request("duplex-legal", "DX-7700 Duplex", "0x7700");
    const struct {
        Request device, whole, area;
        uint32_t channels, left, top;  // the area's corner at the resolution
    } cases[] = {
        {fb_a4, scan({0, 0, 1, 0, 0, 5100, 7014, 150, 1275, 1754}), scan({0, 0, 1, 1000, 2000, 1200, 800, 150, 300, 200}),
         1, 250, 500},
        {duplex_legal, scan({1, 1, 2, 0, 0, 5100, 8400, 75, 638, 1050}),
         scan({1, 1, 2, 2000, 4000, 800, 1200, 75, 100, 150}), 3, 250, 500},
        {fb_a4, scan({0, 0, 1, 0, 0, 5100, 7014, 300, 2550, 3507}), scan({0, 0, 1, 4800, 6800, 300, 214, 300, 150, 107}),
         1, 2400, 3400},  // the bed's corner, with the row ruler
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string whole = first_page({c.device, c.whole}), area = first_page({c.device, c.area});
        const uint32_t whole_width = std::stoul(c.whole.second.substr(c.whole.second.find("output_width=\"") + 14));
        const uint32_t width = std::stoul(c.area.second.substr(c.area.second.find("output_width=\"") + 14));
        const size_t row = size_t(width) * c.channels;
        ASSERT_FALSE(area.empty());
        ASSERT_EQ(area.size() % row, 0u);
        for (size_t y = 0; y < area.size() / row; ++y) {
            const size_t from = ((c.top + y) * whole_width + c.left) * c.channels;
            ASSERT_EQ(area.substr(y * row, row), whole.substr(from, row)) << "row " << y;
        }
    }
}

// Where the picture lies on its document: at its own dpi, or as large as fits
// keeping its aspect ratio, at the top left; the page is cut at (left, top).
struct Placement {
    uint32_t document_width, document_height, left = 0, top = 0, dpi = 0, resolution = 0;
};

std::string placed(const Picture& p, uint32_t width, uint32_t height, bool colour, const Placement& at) {
    auto round = [](double value) { return uint64_t(value + 0.5); };
    uint64_t pw = at.document_width, ph = at.document_height;
    if (at.dpi > 0) {
        pw = round(double(p.width) * at.resolution / at.dpi), ph = round(double(p.height) * at.resolution / at.dpi);
    } else if (double(at.document_width) / p.width <= double(at.document_height) / p.height) {
        ph = round(double(p.height) * at.document_width / p.width);
    } else {
        pw = round(double(p.width) * at.document_height / p.height);
    }
    std::string out;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint64_t u = at.left + x, v = at.top + y;
            uint8_t rgb[3] = {255, 255, 255};  // the document around the picture
            if (u < std::min<uint64_t>(pw, at.document_width) && v < std::min<uint64_t>(ph, at.document_height)) {
                const uint32_t sx = uint32_t((u + 0.5) * p.width / pw), sy = uint32_t((v + 0.5) * p.height / ph);
                for (uint32_t c = 0; c < 3; ++c) rgb[c] = p.value(sx, sy, p.channels == 1 ? 0 : c);
                if (!colour && p.channels == 3) rgb[0] = uint8_t((77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2]) >> 8);
            }
            if (colour) out.append(reinterpret_cast<const char*>(rgb), 3);  // grey is repeated; else the chart's weights
            else out += char(rgb[0]);
        }
    return out;
}

// A picture lies on the document keeping its aspect ratio (fitted, or at its
// own dpi) and the page is cut from it; without an open device the page is
// the document. A page's own file comes before the default one.
TEST(SimPageSource, FilesKeepTheirAspectRatioOnTheDocumentAndAPagesOwnFileComesFirst) {
    const std::string page_2 = sim_temp_path("page-2.pgm");
    std::ofstream(page_2) << pnm(4, 3, 1, sample);
    const struct {
        std::string file;
        Picture picture;
        std::vector<Request> requests;  // before the start; the last one sets the page
        uint32_t width, height;
        bool colour, feeder;  // a feeder job's page 2 has a file of its own
        Placement at;
        uint32_t dpi = 0;
    } cases[] = {
        {pnm(23, 17, 3, sample), {23, 17, 3, sample}, {{3, sim_scan_parameter(0, 2, 23, 17)}}, 23, 17, true, false, {23, 17}},
        {pnm(23, 17, 3, sample), {23, 17, 3, sample}, {{3, sim_scan_parameter(0, 1, 23, 17)}}, 23, 17, false, false, {23, 17}},
        {pnm(7, 5, 1, sample), {7, 5, 1, sample}, {{3, sim_scan_parameter(0, 2, 20, 13)}}, 20, 13, true, false, {20, 13}},
        {png(40, 30, 8, 2, 3, sample), {40, 30, 3, sample}, {{3, sim_scan_parameter(0, 1, 10, 6)}}, 10, 6, false, false, {10, 6}},
        {png(23, 17, 16, 6, 3, sample, 1), {23, 17, 3, sample}, {{3, sim_scan_parameter(0, 2, 23, 17)}}, 23, 17, true, false, {23, 17}},
        {png(2, 2, 8, 2, 3, sample), {2, 2, 3, sample}, {{3, sim_scan_parameter(0, 2, 301, 200)}}, 301, 200, true, false, {301, 200}},
        {pnm(7, 5, 1, sample), {7, 5, 1, sample}, {{3, sim_scan_parameter(1, 1, 5, 3)}}, 5, 3, false, true, {5, 3}},
        // On the A4 bed at 75 dpi (638 x 877): 400 x 300 fills the width, 479 rows high.
        {png(400, 300, 8, 2, 3, sample), {400, 300, 3, sample}, {fb_a4, a4}, 638, 877, true, false, {638, 877}},
        // At its own 150 dpi it covers 200 x 150 pixels at 75 dpi; the page is cut at (38, 75).
        {png(400, 300, 8, 2, 3, sample), {400, 300, 3, sample},
         {fb_a4, scan({0, 0, 1, 300, 600, 1600, 1200, 75, 200, 150})}, 200, 150, false, false,
         {638, 877, 38, 75, 150, 75}, 150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string path = sim_temp_path("picture");
        std::ofstream(path, std::ios::binary) << c.file;
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect({"<scenario piece_size=\"7001\"><source file=\"" + path + "\"" +
                                               (c.dpi ? " dpi=\"" + std::to_string(c.dpi) + "\"" : "") + "/>" +
                                               (c.feeder ? "<source page=\"2\" file=\"" + page_2 + "\"/>" : "") +
                                               "</scenario>", {"KELVRA_SIM_LOG=0"}, "/dev/null"}));
        std::string reply;
        for (const auto& [command, xml] : c.requests) ASSERT_TRUE(sim.exchange(command, xml, reply));
        ASSERT_TRUE(sim.exchange(4, "", reply));
        for (uint32_t number = 1; number <= (c.feeder ? 3 : 1); ++number) {
            std::string page;
            for (uint32_t kind = 2; sim.exchange(6, "", reply, &kind) && kind == 2;) page += reply;
            const Picture own{4, 3, 1, sample}, expected = number == 2 ? own : c.picture;
            EXPECT_TRUE(page == placed(expected, c.width, c.height, c.colour, c.at)) << "page " << number;
        }
        ::unlink(path.c_str());
    }
    ::unlink(page_2.c_str());
}

}  // namespace
