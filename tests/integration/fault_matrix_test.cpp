// Every fault the simulator can inject, crossed with every phase of a
// frontend's session in which it can strike. A backend lives inside the
// frontend's process, so for each cell the test checks the status that the
// frontend sees where the fault surfaces, that nothing waits longer than the
// socket limits the fault allows, that nothing is left behind (descriptors,
// threads, child processes, zombies), and that the next open and scan work.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/fault_scenario.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::page_fault;
using kelvra_test::reply_body;
using kelvra_test::scripted_reply;
using kelvra_test::startup_fault;

// Where in a session the fault strikes.
enum class Phase {
    enumeration,       // command 0, sane_kelvra_get_devices
    open,              // command 1, sane_kelvra_open
    parameters,        // command 3 without a scan, sane_kelvra_get_parameters
    start_parameters,  // command 3 of a job, sane_kelvra_start
    start_request,     // command 4 of a job, sane_kelvra_start
    transfer,          // command 6 in the middle of a flatbed page
    between_pages,     // command 6 opening the second page of a feeder job
    end_exchange,      // command 5 after the last page
    close,             // command 2, sane_kelvra_close
};

const char* phase_name(Phase phase) {
    switch (phase) {
        case Phase::enumeration: return "Enumeration";
        case Phase::open: return "Open";
        case Phase::parameters: return "Parameters";
        case Phase::start_parameters: return "StartParameters";
        case Phase::start_request: return "StartRequest";
        case Phase::transfer: return "Transfer";
        case Phase::between_pages: return "BetweenPages";
        case Phase::end_exchange: return "EndExchange";
        case Phase::close: return "Close";
    }
    return "?";
}

// The request a scripted reply of the phase replaces.
struct Target {
    uint32_t command;
    uint64_t nth;
};

Target target_of(Phase phase) {
    switch (phase) {
        case Phase::enumeration: return {IPC_CMD_DISCOVERY, 1};
        case Phase::open: return {IPC_CMD_OPEN_DEVICE, 1};
        case Phase::parameters: return {IPC_CMD_SCAN_PARAMETER, 1};
        case Phase::start_parameters: return {IPC_CMD_SCAN_PARAMETER, 1};
        case Phase::start_request: return {IPC_CMD_START_SCAN, 1};
        // Pieces of 1024 bytes: the second read request is in mid-page.
        case Phase::transfer: return {IPC_CMD_READ_IMAGE, 2};
        // One piece per page: the first page takes requests 1 (its bytes) and
        // 2 (read_status 1), so the third opens the second page.
        case Phase::between_pages: return {IPC_CMD_READ_IMAGE, 3};
        case Phase::end_exchange: return {IPC_CMD_END_SCAN, 1};
        case Phase::close: return {IPC_CMD_CLOSE_DEVICE, 1};
    }
    return {0, 0};
}

// Root attributes of the phase's scenario.
std::string scenario_attributes(Phase phase) {
    return phase == Phase::transfer ? "piece_size=\"1024\"" : "";
}

// The page a page fault of the phase names, and where in it the fault comes.
std::string page_fault_in(Phase phase, const std::string& attributes) {
    if (phase == Phase::between_pages) return page_fault(2, "at_byte=\"0\" " + attributes);
    return page_fault(1, "at_byte=\"1000\" " + attributes);
}

// What is left once the cell has closed its handle.
enum class Afterwards {
    nothing_open,  // the fault struck before a handle existed, or the open failed
    closed,        // the close exchange worked: the handle is gone
    kept,          // the close exchange failed: the handle stays registered
};

struct Cell {
    Phase phase;
    std::string fault;
    std::string elements;  // inside <scenario>
    // The status of the entry point at which the fault surfaces: get_devices,
    // open, get_parameters, start, the page's last read, or close_device.
    SANE_Status status;
    Afterwards afterwards;
    int socket_limits = 0;  // socket limits the cell may wait out
    // Start phases: the first read after the start (EOF when no job opened
    // and nothing was stored, or when the page arrives whole).
    SANE_Status read = SANE_STATUS_EOF;
    bool whole_page = false;  // the surfacing read delivers the simulator's page intact
    int devices = -1;         // enumeration: devices listed on GOOD
    bool scripted = true;     // the fault is a scripted reply to target_of(phase)
};

void PrintTo(const Cell& cell, std::ostream* out) {
    *out << phase_name(cell.phase) << " / " << cell.fault << ": " << cell.elements;
}

std::string cell_name(const testing::TestParamInfo<Cell>& info) {
    return std::string(phase_name(info.param.phase)) + "_" + info.param.fault;
}

// ----------------------------------------------------------------- faults

std::string on_target(Phase phase, const std::string& attributes) {
    Target t = target_of(phase);
    return scripted_reply(t.command, t.nth, attributes);
}

// A reply carrying the command code of another request.
std::string wrong_command(Phase phase) {
    Target t = target_of(phase);
    return on_target(phase, "header_command=\"" + std::to_string(t.command == 3 ? 4 : 3) + "\"");
}
std::string wrong_direction(Phase phase) { return on_target(phase, "direction=\"0\""); }
std::string kind(Phase phase, int value) { return on_target(phase, "kind=\"" + std::to_string(value) + "\""); }
std::string length(Phase phase, const char* value) {
    return on_target(phase, std::string("length=\"") + value + "\"");
}
// Every computed reply is far shorter than 65536 bytes: the header announces
// bytes that never come.
std::string length_beyond(Phase phase) { return length(phase, "65536"); }
// 1 TiB: more than any reply buffer may hold.
std::string length_oversized(Phase phase) { return length(phase, "1099511627776"); }
std::string body(Phase phase, const std::string& text) { return on_target(phase, reply_body(text)); }
std::string action(Phase phase, const char* name) { return on_target(phase, std::string("action=\"") + name + "\""); }
// Slow but within the socket limit.
std::string slow(Phase phase) { return on_target(phase, "delay_ms=\"700\""); }

// ------------------------------------------------------------------ cells

using S = SANE_Status;
constexpr S GOOD = SANE_STATUS_GOOD;
constexpr S EOF_ = SANE_STATUS_EOF;
constexpr S IO = SANE_STATUS_IO_ERROR;
constexpr S DENIED = SANE_STATUS_ACCESS_DENIED;
constexpr Afterwards NONE = Afterwards::nothing_open;
constexpr Afterwards CLOSED = Afterwards::closed;
constexpr Afterwards KEPT = Afterwards::kept;

Cell make(Phase phase, std::string fault, std::string elements, S status, Afterwards afterwards,
          int socket_limits = 0) {
    Cell cell;
    cell.phase = phase;
    cell.fault = std::move(fault);
    cell.elements = std::move(elements);
    cell.status = status;
    cell.afterwards = afterwards;
    cell.socket_limits = socket_limits;
    return cell;
}

Cell with_read(Cell cell, S read, bool whole_page = false) {
    cell.read = read;
    cell.whole_page = whole_page;
    return cell;
}
Cell whole(Cell cell) {
    cell.whole_page = true;
    return cell;
}
Cell listing(Cell cell, int devices) {
    cell.devices = devices;
    return cell;
}
Cell unscripted(Cell cell) {
    cell.scripted = false;
    return cell;
}

// Start-up faults strike every scan-manager that is started while they are
// in force: the enumeration's, and the one an open starts.
void add_startup_cells(std::vector<Cell>& cells, Phase phase, S good_status) {
    const Afterwards good = phase == Phase::open ? CLOSED : NONE;
    cells.push_back(unscripted(make(phase, "startup_port_minus_one", startup_fault("port=\"-1\""), IO, NONE)));
    cells.push_back(unscripted(make(phase, "startup_child_exits_at_once", startup_fault("action=\"exit\""), IO, NONE)));
    // Neither a port nor an end: the port is awaited for one socket limit,
    // then the child is killed after its grace period.
    cells.push_back(unscripted(make(phase, "startup_hang", startup_fault("action=\"hang\""), IO, NONE, 1)));
    cells.push_back(unscripted(make(phase, "startup_unbound_port", startup_fault("action=\"unbound\""), IO, NONE)));
    // A port wider than 16 bits connects to its low 16 bits.
    Cell wide = unscripted(make(phase, "startup_port_wider_than_16_bits", startup_fault("port_add=\"65536\""),
                                good_status, good));
    cells.push_back(phase == Phase::enumeration ? listing(wide, 3) : wide);
}

// Faults of an XML reply (commands 0, 1, 3 and 4) that every such phase
// reports the same way. `stale` is what is left of a connection whose reply
// payload stayed unread: enumeration and open end their connection anyway.
void add_xml_reply_cells(std::vector<Cell>& cells, Phase phase, const std::string& root) {
    const bool handle_phase = phase != Phase::enumeration && phase != Phase::open;
    const Afterwards stale = handle_phase ? KEPT : NONE;
    const Afterwards clean = handle_phase ? CLOSED : NONE;
    // A scripted exchange that fails on a connection that stays usable.
    const Afterwards dead = stale;  // the scan-manager has gone
    const int silent_close = handle_phase ? 1 : 0;

    cells.push_back(make(phase, "wrong_command", wrong_command(phase), IO, stale));
    cells.push_back(make(phase, "wrong_direction", wrong_direction(phase), IO, stale));
    cells.push_back(make(phase, "wrong_kind_none", kind(phase, 0), IO, stale));
    cells.push_back(make(phase, "wrong_kind_image", kind(phase, 2), IO, stale));
    // The header announces no payload, the document follows it anyway.
    cells.push_back(make(phase, "length_zero", length(phase, "0"), IO, stale));
    // An empty document: length 0 and nothing follows.
    cells.push_back(make(phase, "empty_document", body(phase, ""), IO, clean));
    cells.push_back(make(phase, "length_beyond_payload", length_beyond(phase), IO, clean, 1));
    cells.push_back(make(phase, "length_oversized", length_oversized(phase), IO, stale));
    cells.push_back(make(phase, "malformed_document", body(phase, "<" + root + " a=\"1\""), DENIED, clean));
    cells.push_back(make(phase, "close_mid_header", action(phase, "close-mid-header"), IO, dead));
    cells.push_back(make(phase, "close_mid_payload", action(phase, "close-mid-payload"), IO, dead));
    cells.push_back(make(phase, "closed_without_reply", action(phase, "close"), IO, dead));
    cells.push_back(make(phase, "manager_exits", action(phase, "exit"), IO, dead));
    cells.push_back(make(phase, "silence", action(phase, "silence"), IO, dead, 1 + silent_close));
}

// Faults of a bare acknowledgement (commands 2 and 5).
void add_ack_cells(std::vector<Cell>& cells, Phase phase) {
    // The end exchange's failure is never reported: the page has been read
    // whole by then, and only the close exchange shows what it left behind.
    const bool end = phase == Phase::end_exchange;
    const S failed = end ? EOF_ : IO;
    const S fine = end ? EOF_ : GOOD;
    // Close: a failed close exchange keeps the handle whatever the reason.
    auto left = [&](Afterwards after_end) { return end ? after_end : KEPT; };
    auto cell = [&](std::string name, std::string elements, S status, Afterwards afterwards, int limits = 0) {
        Cell c = make(phase, std::move(name), std::move(elements), status, afterwards, limits);
        return end ? whole(c) : c;
    };

    cells.push_back(cell("wrong_command", wrong_command(phase), failed, left(CLOSED)));
    cells.push_back(cell("wrong_direction", wrong_direction(phase), failed, left(CLOSED)));
    cells.push_back(cell("ack_of_kind_xml", kind(phase, 1), failed, left(CLOSED)));
    // A bare acknowledgement whose header announces a payload is refused
    // before anything is read: no wait, and nothing follows it.
    cells.push_back(cell("length_beyond_payload", length_beyond(phase), failed, left(CLOSED)));
    // One that carries a payload: the payload stays unread on the connection.
    cells.push_back(cell("ack_with_payload", on_target(phase, "body_size=\"5\""), failed, KEPT));
    cells.push_back(cell("malformed_document", body(phase, "<ack a=\"1\""), failed, KEPT));
    cells.push_back(cell("close_mid_header", action(phase, "close-mid-header"), failed, KEPT));
    // The acknowledgement has no payload: it arrives whole, then the
    // connection ends. The close exchange that follows finds it gone.
    cells.push_back(cell("close_mid_payload", action(phase, "close-mid-payload"), fine, end ? KEPT : CLOSED));
    cells.push_back(cell("closed_without_reply", action(phase, "close"), failed, KEPT));
    cells.push_back(cell("manager_exits", action(phase, "exit"), failed, KEPT));
    cells.push_back(cell("silence", action(phase, "silence"), failed, KEPT, end ? 2 : 1));
    cells.push_back(cell("slow_reply", slow(phase), fine, CLOSED));
    cells.push_back(cell("header_in_two_pieces", action(phase, "split"), fine, CLOSED));
}

// Faults of the read exchange and of the page, for a page in transfer and
// for the first request of a feeder job's second page.
void add_page_cells(std::vector<Cell>& cells, Phase phase) {
    auto cell = [&](std::string name, std::string elements, S status, Afterwards afterwards, int limits = 0) {
        return make(phase, std::move(name), std::move(elements), status, afterwards, limits);
    };
    auto page = [&](std::string name, const std::string& attributes, S status, Afterwards afterwards,
                    int limits = 0) {
        return unscripted(cell(std::move(name), page_fault_in(phase, attributes), status, afterwards, limits));
    };

    // The image reply's payload stays unread on the connection.
    cells.push_back(cell("wrong_command", wrong_command(phase), IO, KEPT));
    cells.push_back(cell("wrong_direction", wrong_direction(phase), IO, KEPT));
    // The kind of a read reply is not checked: kind 0 drops the bytes and the
    // thread asks again, so the page ends short of its size (IO_ERROR);
    // kind 1 parses the image bytes as a document.
    cells.push_back(cell("wrong_kind_none", kind(phase, 0), IO, CLOSED));
    cells.push_back(cell("wrong_kind_xml", kind(phase, 1), DENIED, CLOSED));
    // Length 0 is accepted; the image bytes that follow are then read as the
    // next header, which does not match.
    cells.push_back(cell("length_zero", length(phase, "0"), IO, KEPT));
    // A document of kind 1 and length 0 passes the header check, then fails to parse.
    cells.push_back(cell("empty_document", body(phase, ""), DENIED, CLOSED));
    cells.push_back(cell("length_beyond_payload", length_beyond(phase), IO, CLOSED, 1));
    cells.push_back(cell("length_oversized", length_oversized(phase), IO, KEPT));
    cells.push_back(cell("malformed_document", body(phase, "<status read_status=\"1\""), DENIED, CLOSED));
    // A status without read_status, or a document with another root, means
    // "more data": the thread asks again and the page goes on intact (a
    // replaced read reply takes nothing from the simulator's page).
    cells.push_back(whole(cell("unexpected_root", body(phase, "<unexpected read_status=\"2\"/>"), EOF_, CLOSED)));
    cells.push_back(whole(cell("missing_attributes", body(phase, "<status/>"), EOF_, CLOSED)));
    cells.push_back(cell("close_mid_header", action(phase, "close-mid-header"), IO, KEPT));
    cells.push_back(cell("close_mid_payload", action(phase, "close-mid-payload"), IO, KEPT));
    cells.push_back(cell("closed_without_reply", action(phase, "close"), IO, KEPT));
    cells.push_back(cell("manager_exits", action(phase, "exit"), IO, KEPT));
    // The read waits out one limit, the end exchange a second, the close a third.
    cells.push_back(cell("silence", action(phase, "silence"), IO, KEPT, 3));
    cells.push_back(whole(cell("slow_reply", slow(phase), EOF_, CLOSED)));
    cells.push_back(whole(cell("header_in_two_pieces", action(phase, "split"), EOF_, CLOSED)));

    cells.push_back(page("jam", "read_status=\"4\"", SANE_STATUS_JAMMED, CLOSED));
    cells.push_back(page("device_cancel", "read_status=\"3\"", SANE_STATUS_CANCELLED, CLOSED));
    cells.push_back(page("unknown_read_status", "read_status=\"7\"", SANE_STATUS_INVAL, CLOSED));
    // A page that ends well but short of its size: the reads end in IO_ERROR
    // instead of waiting for bytes that never come.
    cells.push_back(page("short_page_job_end", "read_status=\"2\"", IO, CLOSED));
    cells.push_back(page("short_page_next_page", "read_status=\"1\"", IO, CLOSED));
    cells.push_back(page("page_connection_closed", "action=\"close\"", IO, KEPT));
    cells.push_back(page("page_silence", "action=\"silence\"", IO, KEPT, 3));
    cells.push_back(page("page_malformed", "action=\"malformed\"", DENIED, CLOSED));
    cells.push_back(page("page_manager_exits", "action=\"exit\"", IO, KEPT));
    const uint32_t number = phase == Phase::between_pages ? 2 : 1;
    cells.push_back(whole(unscripted(cell("extra_bytes_after_page", page_fault(number, "extra=\"5000\""), EOF_,
                                          CLOSED))));
}

std::vector<Cell> all_cells() {
    std::vector<Cell> cells;

    // Enumeration: a failed discovery leaves no list.
    add_startup_cells(cells, Phase::enumeration, GOOD);
    add_xml_reply_cells(cells, Phase::enumeration, "devices");
    // A document with another root lists nothing; a device without
    // attributes is listed with empty strings.
    cells.push_back(listing(make(Phase::enumeration, "unexpected_root", body(Phase::enumeration, "<unexpected/>"),
                                 GOOD, NONE),
                            0));
    cells.push_back(listing(make(Phase::enumeration, "missing_attributes",
                                 body(Phase::enumeration, "<devices><device/></devices>"), GOOD, NONE),
                            1));
    cells.push_back(listing(make(Phase::enumeration, "slow_reply", slow(Phase::enumeration), GOOD, NONE), 3));
    cells.push_back(listing(
        make(Phase::enumeration, "header_in_two_pieces", action(Phase::enumeration, "split"), GOOD, NONE), 3));

    // Open: a failed open leaves no handle behind.
    add_startup_cells(cells, Phase::open, GOOD);
    add_xml_reply_cells(cells, Phase::open, "device_capability");
    // A capability without units or sizes still opens a handle.
    cells.push_back(make(Phase::open, "unexpected_root", body(Phase::open, "<unexpected/>"), GOOD, CLOSED));
    cells.push_back(
        make(Phase::open, "missing_attributes", body(Phase::open, "<device_capability/>"), GOOD, CLOSED));
    cells.push_back(make(Phase::open, "slow_reply", slow(Phase::open), GOOD, CLOSED));
    cells.push_back(make(Phase::open, "header_in_two_pieces", action(Phase::open, "split"), GOOD, CLOSED));

    // Parameters without a scan.
    add_xml_reply_cells(cells, Phase::parameters, "image_info");
    cells.push_back(make(Phase::parameters, "unexpected_root", body(Phase::parameters, "<unexpected/>"), GOOD, CLOSED));
    cells.push_back(
        make(Phase::parameters, "missing_attributes", body(Phase::parameters, "<image_info/>"), GOOD, CLOSED));
    cells.push_back(make(Phase::parameters, "slow_reply", slow(Phase::parameters), GOOD, CLOSED));
    cells.push_back(
        make(Phase::parameters, "header_in_two_pieces", action(Phase::parameters, "split"), GOOD, CLOSED));

    // The parameter exchange of a start: start returns the failure, nothing
    // is stored and no job opens, so the next read ends at once (EOF).
    add_xml_reply_cells(cells, Phase::start_parameters, "image_info");
    // An image_info without sizes: the job opens with pages of 0 bytes.
    cells.push_back(make(Phase::start_parameters, "unexpected_root", body(Phase::start_parameters, "<unexpected/>"),
                         GOOD, CLOSED));
    cells.push_back(make(Phase::start_parameters, "missing_attributes",
                         body(Phase::start_parameters, "<image_info/>"), GOOD, CLOSED));
    cells.push_back(with_read(make(Phase::start_parameters, "slow_reply", slow(Phase::start_parameters), GOOD, CLOSED),
                              EOF_, true));
    cells.push_back(with_read(make(Phase::start_parameters, "header_in_two_pieces",
                                   action(Phase::start_parameters, "split"), GOOD, CLOSED),
                              EOF_, true));

    // The start exchange: a failed exchange is start's result; a refusal is
    // stored and reported by every read.
    add_xml_reply_cells(cells, Phase::start_request, "status");
    auto refusal = [&](const char* name, const char* scan_status, S read) {
        cells.push_back(with_read(make(Phase::start_request, name,
                                       body(Phase::start_request,
                                            std::string("<status scan_status=\"") + scan_status + "\"/>"),
                                       GOOD, CLOSED),
                                  read));
    };
    refusal("refused_no_documents", "1", SANE_STATUS_NO_DOCS);
    refusal("refused_busy", "2", SANE_STATUS_DEVICE_BUSY);
    refusal("refused_jam", "3", SANE_STATUS_JAMMED);
    refusal("refused_failure", "4", IO);
    refusal("refused_other_code", "99", IO);
    refusal("refused_negative_code", "-1", IO);
    // No status element: the preset failure stands.
    cells.push_back(with_read(
        make(Phase::start_request, "unexpected_root", body(Phase::start_request, "<unexpected/>"), GOOD, CLOSED), IO));
    // A status element without scan_status: started.
    cells.push_back(with_read(
        make(Phase::start_request, "missing_attributes", body(Phase::start_request, "<status/>"), GOOD, CLOSED), EOF_,
        true));
    cells.push_back(
        with_read(make(Phase::start_request, "slow_reply", slow(Phase::start_request), GOOD, CLOSED), EOF_, true));
    cells.push_back(with_read(
        make(Phase::start_request, "header_in_two_pieces", action(Phase::start_request, "split"), GOOD, CLOSED), EOF_,
        true));

    add_page_cells(cells, Phase::transfer);
    add_page_cells(cells, Phase::between_pages);
    add_ack_cells(cells, Phase::end_exchange);
    add_ack_cells(cells, Phase::close);
    return cells;
}

// ------------------------------------------------------------------ runner

using Clock = std::chrono::steady_clock;

// Beyond the socket limits a cell may wait out: start-ups, the child's grace
// period, a cancel's join, scheduling on a busy machine.
constexpr double kSlackMilliseconds = 2500.0;
constexpr double kSocketLimitMilliseconds = 2000.0;  // the testing flavour's

class FaultMatrix : public testing::TestWithParam<Cell> {
protected:
    void SetUp() override {
        // A cell that hangs ends its process instead of the whole run.
        alarm(60);
    }
    void TearDown() override {
        // A failed assertion may leave a handle behind; release it so the
        // process ends cleanly.
        for (device_t* device : g_open_devices) {
            release_device(device);
            delete device;
        }
        g_open_devices.clear();
        sane_kelvra_exit();
        alarm(0);
    }

    static SANE_Handle open_fb() { return kelvra_test::open_named("fb-a4"); }
    // The feeder job of the between-pages phase needs a feeder.
    static const char* device_for(Phase phase) { return phase == Phase::between_pages ? "mfp-adf" : "fb-a4"; }

    // A few millimetres: pages of a few kilobytes.
    static void small_area(SANE_Handle handle) {
        ASSERT_EQ(kelvra_test::set_word_option(handle, OPT_BR_X, SANE_FIX(10.0)), SANE_STATUS_GOOD);
        ASSERT_EQ(kelvra_test::set_word_option(handle, OPT_BR_Y, SANE_FIX(10.0)), SANE_STATUS_GOOD);
    }

    static SANE_Parameters stored_parameters(SANE_Handle handle) {
        SANE_Parameters params{};
        EXPECT_EQ(sane_kelvra_get_parameters(handle, &params), SANE_STATUS_GOOD);
        return params;
    }

    // Reads the page to its end; the final status must be `expected`, and
    // a whole page must be the simulator's page `number`.
    static void read_to_end(SANE_Handle handle, SANE_Status expected, bool whole_page, uint32_t number) {
        SANE_Parameters params{};
        if (whole_page) params = stored_parameters(handle);
        kelvra_test::PageRead page = kelvra_test::read_page(handle, 4096);
        EXPECT_EQ(page.final_status, expected) << "the read that ends the page";
        // The outcome stands: every further read until the next start says the same.
        SANE_Byte byte = 0;
        SANE_Int length = 7;
        EXPECT_EQ(sane_kelvra_read(handle, &byte, 1, &length), expected) << "the read after that";
        EXPECT_EQ(length, 0);
        if (whole_page) {
            EXPECT_GT(page.bytes.size(), 0u);
            EXPECT_TRUE(page.bytes == kelvra_test::expected_page(params, number))
                << "page " << number << " arrives intact (" << page.bytes.size() << " bytes)";
        }
    }

    static bool registered(device_t* device) {
        return std::find(g_open_devices.begin(), g_open_devices.end(), device) != g_open_devices.end();
    }

    // Closes the handle, then checks what the close left. A failed close
    // exchange keeps the handle registered; the test releases it as the
    // frontend's process could not.
    static void close_and_check(const Cell& cell, SANE_Handle handle) {
        device_t* device = static_cast<device_t*>(handle);
        if (cell.phase == Phase::close) {
            EXPECT_EQ(close_device(device), cell.status) << "the close exchange";
        } else {
            sane_kelvra_close(handle);
        }
        const bool kept = registered(device);
        if (cell.afterwards == Afterwards::kept) {
            EXPECT_TRUE(kept) << "a failed close exchange keeps the handle registered";
        } else {
            EXPECT_FALSE(kept) << "the close exchange works: the handle is gone";
        }
        if (kept) {
            release_device(device);
            g_open_devices.erase(std::find(g_open_devices.begin(), g_open_devices.end(), device));
            delete device;
        }
    }

    void run_enumeration(const Cell& cell) {
        static const SANE_Device* const sentinel[] = {nullptr};
        const SANE_Device** list = const_cast<const SANE_Device**>(sentinel);  // not null before the call
        EXPECT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), cell.status);
        if (cell.status != SANE_STATUS_GOOD) {
            EXPECT_EQ(list, nullptr) << "a failed enumeration leaves no list";
            return;
        }
        ASSERT_NE(list, nullptr);
        int count = 0;
        while (list[count] != nullptr) ++count;
        EXPECT_EQ(count, cell.devices);
    }

    void run_open(const Cell& cell) {
        SANE_Handle handle = nullptr;
        EXPECT_EQ(sane_kelvra_open("fb-a4", &handle), cell.status);
        if (cell.status != SANE_STATUS_GOOD) {
            EXPECT_EQ(handle, nullptr);
            EXPECT_TRUE(g_open_devices.empty()) << "a failed open leaves no handle behind";
            return;
        }
        ASSERT_NE(handle, nullptr);
        close_and_check(cell, handle);
    }

    void run_on_handle(const Cell& cell, const kelvra_test::Scenario& scenario) {
        SANE_Handle handle = kelvra_test::open_named(device_for(cell.phase));
        ASSERT_NE(handle, nullptr);
        if (cell.phase == Phase::between_pages) {
            ASSERT_EQ(kelvra_test::set_string_option(handle, OPT_SOURCE, SOURCE_ADF), SANE_STATUS_GOOD);
        }
        small_area(handle);

        switch (cell.phase) {
            case Phase::parameters: {
                SANE_Parameters params{};
                EXPECT_EQ(sane_kelvra_get_parameters(handle, &params), cell.status);
                break;
            }
            case Phase::start_parameters:
            case Phase::start_request:
                EXPECT_EQ(sane_kelvra_start(handle), cell.status) << "start";
                read_to_end(handle, cell.read, cell.whole_page, 1);
                break;
            case Phase::transfer:
                ASSERT_EQ(sane_kelvra_start(handle), SANE_STATUS_GOOD);
                read_to_end(handle, cell.status, cell.whole_page, 1);
                break;
            case Phase::between_pages:
                ASSERT_EQ(sane_kelvra_start(handle), SANE_STATUS_GOOD);
                read_to_end(handle, SANE_STATUS_EOF, true, 1);
                ASSERT_EQ(sane_kelvra_start(handle), SANE_STATUS_GOOD) << "the second page sends nothing";
                read_to_end(handle, cell.status, cell.whole_page, 2);
                break;
            case Phase::end_exchange:
                ASSERT_EQ(sane_kelvra_start(handle), SANE_STATUS_GOOD);
                read_to_end(handle, cell.status, cell.whole_page, 1);
                // The reader thread makes the end exchange after the page's
                // last reply; let it finish before closing.
                EXPECT_TRUE(kelvra_test::eventually(
                    [&] { return scenario.frames_with_command(IPC_CMD_END_SCAN).size() == 1; }, 3000))
                    << "the end exchange is made";
                EXPECT_TRUE(kelvra_test::eventually([&] { return kelvra_test::count_threads() == before_.threads; },
                                                    3000))
                    << "the reader thread ends after the end exchange";
                break;
            case Phase::close:
                break;
            default:
                FAIL() << "not a handle phase";
        }
        close_and_check(cell, handle);
    }

    kelvra_test::ProcessSnapshot before_{};
};

TEST_P(FaultMatrix, SurfacesAsDocumentedAndLeavesNothingBehind) {
    const Cell& cell = GetParam();
    const std::string attributes = scenario_attributes(cell.phase);
    std::string why;
    ASSERT_TRUE(kelvra_test::simulator_accepts(cell.elements, attributes, why)) << why;

    // ThreadSanitizer's runtime starts a helper thread of its own at the
    // first thread creation; one thread made and joined here keeps it out of
    // the leak count.
    std::thread([] {}).join();
    before_ = kelvra_test::ProcessSnapshot::take();

    // Every phase after the enumeration starts from a list made without the
    // fault, so that a start-up fault strikes only the open's scan-manager.
    if (cell.phase != Phase::enumeration) {
        const SANE_Device** list = nullptr;
        ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    }

    double elapsed = 0;
    {
        kelvra_test::Scenario scenario(cell.elements, attributes);
        const auto started = Clock::now();
        switch (cell.phase) {
            case Phase::enumeration: run_enumeration(cell); break;
            case Phase::open: run_open(cell); break;
            default: run_on_handle(cell, scenario); break;
        }
        elapsed = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        if (cell.scripted) {
            const Target t = target_of(cell.phase);
            EXPECT_GE(scenario.frames_with_command(t.command).size(), t.nth)
                << "the request that the fault answers was sent";
        } else if (cell.phase != Phase::enumeration && cell.phase != Phase::open) {
            EXPECT_FALSE(scenario.frames_with_command(IPC_CMD_READ_IMAGE).empty()) << "the page was asked for";
        }
    }
    if (HasFatalFailure()) return;

    const double bound = kSlackMilliseconds + cell.socket_limits * kSocketLimitMilliseconds;
    EXPECT_LT(elapsed, bound) << "the cell took " << elapsed << " ms";

    EXPECT_TRUE(kelvra_test::returns_to(before_))
        << "after the fault: " << kelvra_test::ProcessSnapshot::take().describe() << "; before: " << before_.describe();
    EXPECT_EQ(kelvra_test::count_zombie_children(), 0);

    // A fresh enumeration, open and scan work as if nothing had happened.
    {
        kelvra_test::Scenario clean;
        const SANE_Device** list = nullptr;
        ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
        SANE_Handle handle = open_fb();
        ASSERT_NE(handle, nullptr);
        small_area(handle);
        ASSERT_EQ(sane_kelvra_start(handle), SANE_STATUS_GOOD);
        read_to_end(handle, SANE_STATUS_EOF, true, 1);
        sane_kelvra_close(handle);
        EXPECT_TRUE(g_open_devices.empty()) << "the fresh handle closes";
    }
    sane_kelvra_exit();
    EXPECT_TRUE(kelvra_test::returns_to(before_))
        << "after the fresh scan: " << kelvra_test::ProcessSnapshot::take().describe();
    EXPECT_EQ(kelvra_test::count_zombie_children(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, testing::ValuesIn(all_cells()), cell_name);

}  // namespace
