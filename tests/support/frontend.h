// A frontend's steps for integration tests (open a simulator device, set
// options, read pages, wait or time), and a test's simulator scenario.
#pragma once

#include <sane/sane.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "backend/entry_points.h"
#include "simulator/pages.h"

namespace kelvra_test {

SANE_Handle open_named(const char* name);  // enumerates first; fails the test on an error
void release_kept_handle(SANE_Handle handle);  // one whose close exchange failed stays registered
SANE_Status set_string_option(SANE_Handle handle, int option, const std::string& value, SANE_Int* info = nullptr);
SANE_Status set_word_option(SANE_Handle handle, int option, SANE_Word value, SANE_Int* info = nullptr);

struct PageRead {
    SANE_Status final_status = SANE_STATUS_GOOD;  // the status that ended the reads
    std::string bytes;                             // what GOOD reads delivered
};
PageRead read_page(SANE_Handle handle, int chunk = 32768);  // reads until a status other than GOOD

// What the simulator sends as page `page` (counted in its process) for `params`
// and the area the handle's options set, on the side of a duplex sheet given.
std::string expected_page(SANE_Handle handle, const SANE_Parameters& params, uint32_t page,
                          kelvra_sim::Side side = kelvra_sim::Side::single);

// Polls `condition` every 5 ms for up to `milliseconds`; its last value.
bool eventually(auto&& condition, int milliseconds = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

double milliseconds_of(auto&& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A scenario named to the simulator (and inherited) through the environment,
// strict unless `attributes` set strict; its transcript read back. A test
// with a strict scenario fails when the simulator warned about a request.
struct Frame {  // a request the simulator received
    int pid;
    uint32_t command, direction, kind;
    uint64_t length;
    std::string payload;
};

struct InheritedSignals {
    uint64_t blocked, ignored;  // bit n-1 for signal n
};

class Scenario {
public:
    // `elements` go inside <scenario>, `attributes` onto it (the transcript is added).
    explicit Scenario(const std::string& elements = "", const std::string& attributes = "");
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    std::string transcript_path() const { return directory_ + "/transcript"; }
    // A simulator accepted the file: only then is the transcript made.
    bool accepted() const;
    std::vector<Frame> frames(int command = -1) const;  // the frames received, of one command or all
    std::vector<std::vector<int>> inherited_descriptors() const;  // per simulator, its "descriptors" record
    std::vector<nlohmann::json> records(const std::string& event) const;  // of every simulator, in order
    std::vector<InheritedSignals> inherited_signals() const;      // per simulator, its "signals" record

private:
    std::string directory_;
    bool strict_ = true;
};

void write_file(const std::string& path, const std::string& text);  // replaces the file

}  // namespace kelvra_test
