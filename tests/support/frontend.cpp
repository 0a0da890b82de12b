// The support of the integration tests: the frontend's steps, the
// simulator's scenario and transcript, and what the process holds.
#include "tests/support/frontend.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "backend/backend.h"
#include "options/options.h"
#include "scan/scan.h"
#include "simulator/pages.h"
#include "tests/support/memory_state.h"
#include "tests/support/process_state.h"
#include "tests/support/transcript.h"

namespace kelvra_test {

SANE_Handle open_named(const char* name) {
    SANE_Handle handle = nullptr;
    EXPECT_EQ(sane_kelvra_open(name, &handle), SANE_STATUS_GOOD) << name;
    return handle;
}

void release_kept_handle(SANE_Handle handle) {
    device_t* device = static_cast<device_t*>(handle);
    auto registered = std::find(g_open_devices.begin(), g_open_devices.end(), device);
    ASSERT_NE(registered, g_open_devices.end()) << "the handle is no longer registered";
    g_open_devices.erase(registered);
    release_device(device);
    delete device;
}

SANE_Status set_string_option(SANE_Handle handle, int option, const std::string& value, SANE_Int* info) {
    const SANE_Option_Descriptor* descriptor = sane_kelvra_get_option_descriptor(handle, option);
    std::vector<char> buffer(std::max<size_t>(descriptor ? descriptor->size : 0, value.size() + 1), '\0');
    std::copy(value.begin(), value.end(), buffer.begin());
    return sane_kelvra_control_option(handle, option, SANE_ACTION_SET_VALUE, buffer.data(), info);
}

SANE_Status set_word_option(SANE_Handle handle, int option, SANE_Word value, SANE_Int* info) {
    return sane_kelvra_control_option(handle, option, SANE_ACTION_SET_VALUE, &value, info);
}

PageRead read_page(SANE_Handle handle, int chunk) {
    PageRead page;
    std::vector<SANE_Byte> buffer(chunk);
    for (;;) {
        SANE_Int length = -1;
        const SANE_Status status = sane_kelvra_read(handle, buffer.data(), chunk, &length);
        if (status != SANE_STATUS_GOOD) {
            EXPECT_EQ(length, 0) << "a read that fails delivers nothing";
            page.final_status = status;
            return page;
        }
        page.bytes.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(length));
    }
}

std::string expected_page(SANE_Handle handle, const SANE_Parameters& params, uint32_t page, kelvra_sim::Side side) {
    kelvra_sim::PageGeometry geometry{static_cast<uint32_t>(params.pixels_per_line),
                                      static_cast<uint32_t>(params.lines),
                                      static_cast<uint64_t>(params.bytes_per_line),
                                      params.format == SANE_FRAME_GRAY ? 1u : 3u};
    // The area the handle's options ask for, on the whole area of the unit they use.
    const DeviceOptions* options = static_cast<device_t*>(handle)->options;
    ScanParameter scan{};
    make_scan_parameter(options, &scan);
    const DeviceCapability& unit = options->capability;
    const bool feeder = scan.original_placement == 1;
    kelvra_sim::place_on_document(geometry, feeder ? unit.adf_max_Width : unit.flatbed_max_width,
                                  feeder ? unit.adf_max_height : unit.flatbed_max_height, unit.basic_resolution,
                                  scan.input_resolution, scan.input_position_x, scan.input_position_y,
                                  scan.output_resolution);
    geometry.side = side;
    std::string bytes(kelvra_sim::page_size(geometry), '\0');
    kelvra_sim::page_bytes(geometry, page, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

namespace {

int count_entries(const char* path) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(path), {}));
}

// The "NAME:   1234 kB" line of /proc/self/status; -1 when missing.
int64_t status_kib(const std::string& name) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return std::strtoll(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

// Keeps ThreadSanitizer's helper thread, made at the first thread, out of snapshots.
const bool runtime_threads_started = [] {
    std::thread([] {}).join();
    return true;
}();

}  // namespace

Scenario::Scenario(const std::string& elements, const std::string& attributes) {
    char pattern[] = "/tmp/kelvra-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    // Strict unless the test says otherwise: a request the device would refuse fails the test's scan.
    strict_ = attributes.find("strict=") == std::string::npos;
    const std::string strict = strict_ ? " strict=\"1\"" : "";
    write_file(directory_ + "/scenario.xml", "<scenario transcript=\"" + transcript_path() + "\"" + strict + " " +
                                                 attributes + ">\n" + elements + "\n</scenario>\n");
    setenv("KELVRA_SIM_SCENARIO", (directory_ + "/scenario.xml").c_str(), 1);
}

Scenario::~Scenario() {
    unsetenv("KELVRA_SIM_SCENARIO");
    // Whatever the test checked: the backend asked nothing a real device would question.
    if (strict_)
        for (const auto& record : records("warning")) ADD_FAILURE() << "the simulator warned: " << record.dump();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

bool Scenario::accepted() const { return std::filesystem::exists(transcript_path()); }

std::vector<nlohmann::json> Scenario::records(const std::string& event) const {
    std::vector<nlohmann::json> found;
    if (!accepted()) return found;
    for (nlohmann::json& record : read_transcript(transcript_path()))
        if (record["event"] == event) found.push_back(std::move(record));
    return found;
}

std::vector<Frame> Scenario::frames(int command) const {
    std::vector<Frame> frames;
    for (const nlohmann::json& r : records("frame")) {
        if (r["way"] != "received" || (command >= 0 && r["command"] != command)) continue;
        frames.push_back(Frame{r["pid"].get<int>(), r["command"].get<uint32_t>(), r["direction"].get<uint32_t>(),
                               r["kind"].get<uint32_t>(), r["length"].get<uint64_t>(), frame_payload(r)});
    }
    return frames;
}

std::vector<std::vector<int>> Scenario::inherited_descriptors() const {
    std::vector<std::vector<int>> fds;
    for (const nlohmann::json& r : records("descriptors")) fds.push_back(r["fds"].get<std::vector<int>>());
    return fds;
}

std::vector<InheritedSignals> Scenario::inherited_signals() const {
    std::vector<InheritedSignals> signals;
    for (const nlohmann::json& r : records("signals"))
        signals.push_back({std::stoull(r["blocked"].get<std::string>(), nullptr, 16),
                           std::stoull(r["ignored"].get<std::string>(), nullptr, 16)});
    return signals;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text)) throw std::runtime_error("cannot write " + path);
}

// Less the descriptor that lists them.
int count_open_descriptors() { return count_entries("/proc/self/fd") - 1; }
int count_threads() { return count_entries("/proc/self/task"); }

std::vector<int> child_processes() {
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        // Read with stdio: a process that ends meanwhile makes the read fail with ESRCH, which
        // std::ifstream's buffer turns into an exception.
        char stat[512] = {};
        if (FILE* in = std::fopen((entry.path() / "stat").c_str(), "r")) {
            [[maybe_unused]] const size_t got = std::fread(stat, 1, sizeof stat - 1, in);
            std::fclose(in);
        }
        const std::string_view text(stat);
        int ppid = 0;  // the field after the state, which follows the name in parentheses
        const size_t name_end = text.rfind(')');
        if (name_end != std::string::npos && sscanf(stat + name_end + 1, " %*c %d", &ppid) == 1 &&
            ppid == getpid())
            children.push_back(std::stoi(pid));
    }
    return children;
}

ProcessSnapshot ProcessSnapshot::take() {
    return {count_open_descriptors(), count_threads(), static_cast<int>(child_processes().size())};
}

std::string ProcessSnapshot::describe() const {
    return "descriptors " + std::to_string(descriptors) + ", threads " + std::to_string(threads) + ", children " +
           std::to_string(children);
}

bool returns_to(const ProcessSnapshot& before, int milliseconds) {
    return eventually([&] { return ProcessSnapshot::take() == before; }, milliseconds);
}

int64_t resident_kib() { return status_kib("VmRSS"); }
int64_t peak_resident_kib() { return status_kib("VmHWM"); }

bool reset_peak_resident() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5" << std::flush;  // 5 resets the peak resident size
    return static_cast<bool>(out);
}

int64_t heap_in_use_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

}  // namespace kelvra_test
