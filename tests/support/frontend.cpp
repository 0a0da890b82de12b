// The support of the integration tests: the frontend's steps, the
// simulator's scenario and transcript, and what the process holds.
#include "tests/support/frontend.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "backend/backend.h"
#include "simulator/pages.h"
#include "tests/support/memory_state.h"
#include "tests/support/process_state.h"

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

std::string expected_page(const SANE_Parameters& params, uint32_t page) {
    const kelvra_sim::PageGeometry geometry{static_cast<uint32_t>(params.pixels_per_line),
                                            static_cast<uint32_t>(params.lines),
                                            static_cast<uint64_t>(params.bytes_per_line),
                                            params.format == SANE_FRAME_GRAY ? 1u : 3u};
    std::string bytes(kelvra_sim::page_size(geometry), '\0');
    kelvra_sim::page_bytes(geometry, page, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

namespace {

// "fds PID FD..." lines; "frame PID COMMAND DIRECTION KIND LENGTH" lines, the payload, a line feed.
std::vector<Frame> read_transcript(const std::string& path, int command, std::vector<std::vector<int>>* fds) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;) {
        std::istringstream line(text.substr(at, end - at));
        std::string word;
        Frame frame{};
        line >> word >> frame.pid;
        at = end + 1;
        if (word == "fds") {
            if (fds != nullptr) fds->emplace_back(std::istream_iterator<int>(line), std::istream_iterator<int>());
            continue;
        }
        if (word != "frame" || !(line >> frame.command >> frame.direction >> frame.kind >> frame.length))
            throw std::runtime_error("bad transcript line in " + path);
        frame.payload = text.substr(at, frame.length);
        at += frame.length + 1;
        if (command < 0 || frame.command == uint32_t(command)) frames.push_back(std::move(frame));
    }
    return frames;
}

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
    write_file(directory_ + "/scenario.xml", "<scenario transcript=\"" + transcript_path() + "\" " + attributes +
                                                 ">\n" + elements + "\n</scenario>\n");
    setenv("KELVRA_SIM_SCENARIO", (directory_ + "/scenario.xml").c_str(), 1);
}

Scenario::~Scenario() {
    unsetenv("KELVRA_SIM_SCENARIO");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

bool Scenario::accepted() const { return std::filesystem::exists(transcript_path()); }

std::vector<Frame> Scenario::frames(int command) const { return read_transcript(transcript_path(), command, nullptr); }

std::vector<std::vector<int>> Scenario::inherited_descriptors() const {
    std::vector<std::vector<int>> fds;
    read_transcript(transcript_path(), -2, &fds);
    return fds;
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
        // A process may end between the listing and the read, which then fails with ESRCH: getline
        // leaves the line empty where a stream-buffer iterator would throw.
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        std::getline(in, stat);
        int ppid = 0;  // the field after the state, which follows the name in parentheses
        const size_t name_end = stat.rfind(')');
        if (name_end != std::string::npos && sscanf(stat.c_str() + name_end + 1, " %*c %d", &ppid) == 1 &&
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
