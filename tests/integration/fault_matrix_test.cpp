// Faults of the scan-manager crossed with the phases of a frontend's session
// in which they can strike. A backend lives inside the frontend's process, so
// for each cell the test checks the status that the frontend sees where the
// fault surfaces, that nothing waits longer than the socket limits the fault
// allows, that nothing is left behind (descriptors, threads, child processes,
// zombies), and that the next open and scan work. Each fault stands for its
// kind (a header that does not match, a payload left unread, a scan-manager
// that is gone or silent, a document that does not parse); every header
// field and length is checked against the wire code itself elsewhere.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/fault_scenario.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::reply_body;

enum class Phase { open, parameters, transfer, between_pages, end_exchange, close };

// The phase's name, and the request that a scripted reply of the phase replaces.
struct PhaseInfo {
    const char* name;
    uint32_t command;
    uint64_t nth;
};

PhaseInfo phase_info(Phase phase) {
    static const PhaseInfo phases[] = {  // in the order of Phase
        {"Open", IPC_CMD_OPEN_DEVICE, 1},
        {"Parameters", IPC_CMD_SCAN_PARAMETER, 1},  // without a scan
        // Pieces of 1024 bytes: the second read request is in mid-page.
        {"Transfer", IPC_CMD_READ_IMAGE, 2},
        // One piece per page of a feeder job: the first page takes requests 1
        // (its bytes) and 2 (read_status 1), so the third opens the second page.
        {"BetweenPages", IPC_CMD_READ_IMAGE, 3},
        {"EndExchange", IPC_CMD_END_SCAN, 1},  // after the last page
        {"Close", IPC_CMD_CLOSE_DEVICE, 1},
    };
    return phases[static_cast<int>(phase)];
}

// What is left once the cell has closed its handle.
enum class Afterwards {
    nothing_open,  // the open failed
    closed,        // the close exchange worked: the handle is gone
    kept,          // the close exchange failed: the handle stays registered
};

struct Cell {
    Phase phase;
    const char* fault;
    std::string elements;  // inside <scenario>
    // The status of the entry point at which the fault surfaces: open,
    // get_parameters, the page's last read, or close_device.
    SANE_Status status;
    Afterwards afterwards;
    int socket_limits = 0;    // socket limits the cell may wait out
    bool whole_page = false;  // the page still arrives intact
    bool scripted = true;     // the fault is a scripted reply to the phase's request
};

void PrintTo(const Cell& cell, std::ostream* out) { *out << cell.elements; }

using S = SANE_Status;
constexpr S GOOD = SANE_STATUS_GOOD;
constexpr S EOF_ = SANE_STATUS_EOF;
constexpr S IO = SANE_STATUS_IO_ERROR;
constexpr S DENIED = SANE_STATUS_ACCESS_DENIED;
constexpr Afterwards NONE = Afterwards::nothing_open;
constexpr Afterwards CLOSED = Afterwards::closed;
constexpr Afterwards KEPT = Afterwards::kept;

std::vector<Cell> all_cells() {
    const std::string exits = "action=\"exit\"";
    const std::string silence = "action=\"silence\"";
    // A reply carrying the command code of another request.
    auto wrong_command = [](Phase phase) {
        const uint32_t other = phase_info(phase).command == IPC_CMD_SCAN_PARAMETER ? 4 : 3;
        return "header_command=\"" + std::to_string(other) + "\"";
    };
    std::vector<Cell> cells;
    auto add = [&](Phase phase, const char* fault, const std::string& attributes, S status, Afterwards afterwards,
                   int socket_limits = 0, bool whole_page = false) {
        const PhaseInfo target = phase_info(phase);
        cells.push_back({phase, fault, kelvra_test::scripted_reply(target.command, target.nth, attributes), status,
                         afterwards, socket_limits, whole_page});
    };
    using enum Phase;

    // A failed open leaves no handle behind, also when its scan-manager had
    // been started and its socket made.
    cells.push_back({open, "startup_unbound_port", kelvra_test::startup_fault("action=\"unbound\""), IO, NONE, 0,
                     false, false});
    add(open, "wrong_command", wrong_command(open), IO, NONE);
    add(open, "malformed_document", reply_body("<device_capability a=\"1\""), DENIED, NONE);
    add(open, "manager_exits", exits, IO, NONE);
    add(open, "silence", silence, IO, NONE, 1);
    // A capability without sizes or units still opens a handle.
    add(open, "missing_attributes", reply_body("<device_capability/>"), GOOD, CLOSED);

    // A reply whose payload stayed unread, or a scan-manager that is gone,
    // makes the later close exchange fail.
    add(parameters, "wrong_command", wrong_command(parameters), IO, KEPT);
    add(parameters, "wrong_direction", "direction=\"0\"", IO, KEPT);
    add(parameters, "malformed_document", reply_body("<image_info a=\"1\""), DENIED, CLOSED);
    add(parameters, "manager_exits", exits, IO, KEPT);
    // The parameters wait out one limit, the close exchange a second.
    add(parameters, "silence", silence, IO, KEPT, 2);

    add(transfer, "wrong_command", wrong_command(transfer), IO, KEPT);
    // The kind of a read reply is not checked: kind 0 drops the bytes and the
    // thread asks again, so the page ends short of its size (IO_ERROR);
    // kind 1 parses the image bytes as a document.
    add(transfer, "kind_none", "kind=\"0\"", IO, CLOSED);
    add(transfer, "kind_xml", "kind=\"1\"", DENIED, CLOSED);
    // Length 0 is accepted; the image bytes that follow are then read as the
    // next header, which does not match.
    add(transfer, "length_zero", "length=\"0\"", IO, KEPT);
    // A document of kind 1 and length 0 passes the header check, then fails to parse.
    add(transfer, "empty_document", reply_body(""), DENIED, CLOSED);
    // A status without read_status, or a document with another root, means
    // "more data": the thread asks again and the page goes on intact (a
    // replaced read reply takes nothing from the simulator's page).
    add(transfer, "unexpected_root", reply_body("<unexpected read_status=\"2\"/>"), EOF_, CLOSED, 0, true);
    add(transfer, "missing_attributes", reply_body("<status/>"), EOF_, CLOSED, 0, true);
    // The connection ends, or the scan-manager with it, in mid-page.
    const std::string mid_page = "at_byte=\"1000\" action=";
    cells.push_back({transfer, "page_connection_closed", kelvra_test::page_fault(1, mid_page + "\"close\""), IO, KEPT,
                     0, false, false});
    cells.push_back({transfer, "page_manager_exits", kelvra_test::page_fault(1, mid_page + "\"exit\""), IO, KEPT, 0,
                     false, false});
    // The read waits out one limit, the end exchange a second, the close a third.
    add(transfer, "silence", silence, IO, KEPT, 3);
    // Slow but within the socket limit, or a header in two pieces: nothing is lost.
    add(transfer, "slow_reply", "delay_ms=\"700\"", EOF_, CLOSED, 0, true);
    add(transfer, "header_in_two_pieces", "action=\"split\"", EOF_, CLOSED, 0, true);

    // A later page of a job fails like the first.
    cells.push_back({between_pages, "jam", kelvra_test::page_fault(2, "at_byte=\"0\" read_status=\"4\""),
                     SANE_STATUS_JAMMED, CLOSED, 0, false, false});
    add(between_pages, "manager_exits", exits, IO, KEPT);

    // The end exchange's failure is never reported: the page has been read
    // whole by then, and only the close exchange shows what it left behind.
    add(end_exchange, "wrong_command", wrong_command(end_exchange), EOF_, CLOSED, 0, true);
    // An acknowledgement that carries a payload leaves it unread.
    add(end_exchange, "ack_with_payload", "body_size=\"5\"", EOF_, KEPT, 0, true);
    add(end_exchange, "manager_exits", exits, EOF_, KEPT, 0, true);
    add(end_exchange, "silence", silence, EOF_, KEPT, 2, true);

    // A failed close exchange keeps the handle, whatever the reason.
    add(close, "wrong_command", wrong_command(close), IO, KEPT);
    add(close, "ack_with_payload", "body_size=\"5\"", IO, KEPT);
    add(close, "manager_exits", exits, IO, KEPT);
    add(close, "silence", silence, IO, KEPT, 1);
    return cells;
}

// Beyond the socket limits a cell may wait out: start-ups, the child's grace
// period, a cancel's join, scheduling on a busy machine.
constexpr double kSlackMilliseconds = 2500.0;
constexpr double kSocketLimitMilliseconds = 2000.0;  // the testing flavour's

class FaultMatrix : public testing::TestWithParam<Cell> {
protected:
    // A cell that hangs ends its process instead of the whole run.
    void SetUp() override { alarm(60); }
    void TearDown() override {
        // A failed assertion may leave a handle behind.
        while (!g_open_devices.empty()) kelvra_test::release_kept_handle(g_open_devices.back());
        sane_kelvra_exit();
        alarm(0);
    }

    // A few millimetres: pages of a few kilobytes.
    static void small_area(SANE_Handle handle) {
        ASSERT_EQ(kelvra_test::set_word_option(handle, OPT_BR_X, SANE_FIX(10.0)), GOOD);
        ASSERT_EQ(kelvra_test::set_word_option(handle, OPT_BR_Y, SANE_FIX(10.0)), GOOD);
    }

    // Reads the page to its end: the final status is `expected`, the next
    // read says the same, and a whole page is the simulator's page `number`.
    static void read_to_end(SANE_Handle handle, S expected, bool whole_page, uint32_t number) {
        SANE_Parameters params{};
        if (whole_page) {
            EXPECT_EQ(sane_kelvra_get_parameters(handle, &params), GOOD);
        }
        kelvra_test::PageRead page = kelvra_test::read_page(handle, 4096);
        EXPECT_EQ(page.final_status, expected) << "the read that ends the page";
        SANE_Byte byte = 0;
        SANE_Int length = 7;
        EXPECT_EQ(sane_kelvra_read(handle, &byte, 1, &length), expected) << "the read after that";
        if (whole_page) {
            EXPECT_TRUE(!page.bytes.empty() && page.bytes == kelvra_test::expected_page(params, number))
                << "page " << number << " arrives intact (" << page.bytes.size() << " bytes)";
        }
    }

    static void close_and_check(const Cell& cell, SANE_Handle handle) {
        device_t* device = static_cast<device_t*>(handle);
        if (cell.phase == Phase::close) {
            EXPECT_EQ(close_device(device), cell.status) << "the close exchange";
        } else {
            sane_kelvra_close(handle);
        }
        const bool kept = std::find(g_open_devices.begin(), g_open_devices.end(), device) != g_open_devices.end();
        EXPECT_EQ(kept, cell.afterwards == Afterwards::kept) << "only a failed close exchange keeps the handle";
        if (kept) kelvra_test::release_kept_handle(device);
    }

    void run(const Cell& cell, const kelvra_test::Scenario& scenario) {
        if (cell.phase == Phase::open) {
            SANE_Handle handle = nullptr;
            EXPECT_EQ(sane_kelvra_open("fb-a4", &handle), cell.status);
            if (cell.status == GOOD) {
                ASSERT_NE(handle, nullptr);
                close_and_check(cell, handle);
            } else {
                EXPECT_EQ(handle, nullptr);
                EXPECT_TRUE(g_open_devices.empty()) << "a failed open leaves no handle behind";
            }
            return;
        }
        const bool feeder = cell.phase == Phase::between_pages;
        SANE_Handle handle = kelvra_test::open_named(feeder ? "mfp-adf" : "fb-a4");
        ASSERT_NE(handle, nullptr);
        if (feeder) {
            ASSERT_EQ(kelvra_test::set_string_option(handle, OPT_SOURCE, SOURCE_ADF), GOOD);
        }
        small_area(handle);

        if (cell.phase == Phase::parameters) {
            SANE_Parameters params{};
            EXPECT_EQ(sane_kelvra_get_parameters(handle, &params), cell.status);
        } else if (cell.phase != Phase::close) {
            ASSERT_EQ(sane_kelvra_start(handle), GOOD);
            if (feeder) {
                read_to_end(handle, EOF_, true, 1);
                ASSERT_EQ(sane_kelvra_start(handle), GOOD) << "the second page sends nothing";
            }
            read_to_end(handle, cell.status, cell.whole_page, feeder ? 2 : 1);
        }
        if (cell.phase == Phase::end_exchange) {
            // The reader thread makes the end exchange after the page's last
            // reply; let it finish before closing.
            EXPECT_TRUE(kelvra_test::eventually(
                [&] { return scenario.frames_with_command(IPC_CMD_END_SCAN).size() == 1; }, 3000))
                << "the end exchange is made";
            EXPECT_TRUE(kelvra_test::eventually([&] { return kelvra_test::count_threads() == before_.threads; }, 3000))
                << "the reader thread ends after the end exchange";
        }
        close_and_check(cell, handle);
    }

    kelvra_test::ProcessSnapshot before_{};
};

TEST_P(FaultMatrix, SurfacesWhereExpectedAndLeavesNothingBehind) {
    const Cell& cell = GetParam();
    const std::string attributes = cell.phase == Phase::transfer ? "piece_size=\"1024\"" : "";
    // A typo in a fault must not pass for the fault.
    std::string why;
    ASSERT_TRUE(kelvra_test::simulator_accepts(cell.elements, attributes, why)) << why;
    before_ = kelvra_test::ProcessSnapshot::take();

    // The list is made without the fault, so that a start-up fault strikes
    // only the open's scan-manager.
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), GOOD);
    double elapsed = 0;
    {
        kelvra_test::Scenario scenario(cell.elements, attributes);
        elapsed = kelvra_test::milliseconds_of([&] { run(cell, scenario); });
        const PhaseInfo target = phase_info(cell.phase);
        if (cell.scripted) {
            EXPECT_GE(scenario.frames_with_command(target.command).size(), target.nth)
                << "the request that the fault answers was sent";
        }
    }
    if (HasFatalFailure()) return;
    EXPECT_LT(elapsed, kSlackMilliseconds + cell.socket_limits * kSocketLimitMilliseconds);
    EXPECT_TRUE(kelvra_test::returns_to(before_))
        << "after the fault: " << kelvra_test::ProcessSnapshot::take().describe() << "; before: " << before_.describe();
    EXPECT_EQ(kelvra_test::count_zombie_children(), 0);

    // A fresh open and scan work as if nothing had happened.
    SANE_Handle handle = kelvra_test::open_named("fb-a4");
    ASSERT_NE(handle, nullptr);
    small_area(handle);
    ASSERT_EQ(sane_kelvra_start(handle), GOOD);
    read_to_end(handle, EOF_, true, 1);
    sane_kelvra_close(handle);
    EXPECT_TRUE(g_open_devices.empty()) << "the fresh handle closes";
    sane_kelvra_exit();
    EXPECT_TRUE(kelvra_test::returns_to(before_))
        << "after the fresh scan: " << kelvra_test::ProcessSnapshot::take().describe();
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, testing::ValuesIn(all_cells()), [](const auto& cell) {
    return std::string(phase_info(cell.param.phase).name) + "_" + cell.param.fault;
});

}  // namespace
