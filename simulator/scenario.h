// The scenario file: which devices to serve and which faults to inject. The
// user documentation of the format is doc/kelvra-sim-scenario.md.
#pragma once

#include "simulator/devices.h"
#include "simulator/image_file.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvra_sim {

enum class StartupAction { none, exit, hang, unbound };

// A fault of the start-up handshake; at most one of port, port_add and
// action is set. `intruder` may stand with port or port_add.
struct StartupFault {
    std::optional<int32_t> port;      // written instead of the real port
    std::optional<int64_t> port_add;  // added to the real port
    StartupAction action = StartupAction::none;
    // A user whose process connects to the listening port before the port is
    // reported (the race a local process could run against the backend).
    std::optional<std::string> intruder;
    uid_t intruder_uid = 0;
    gid_t intruder_gid = 0;
    long line = 0;  // of the scenario file, for the transcript
};

enum class ReplyAction { reply, silence, close, exit, close_mid_header, close_mid_payload, split };

// A reply that replaces the computed one for the nth request of a command.
struct ScriptedReply {
    uint32_t command = 0;
    uint64_t nth = 0;  // 0: every request of the command
    ReplyAction action = ReplyAction::reply;
    std::optional<std::string> body;        // payload text (kind 1 unless overridden)
    std::optional<uint64_t> body_size;      // that many filler bytes instead
    std::optional<uint32_t> header_command;
    std::optional<uint32_t> direction;
    std::optional<uint32_t> kind;
    std::optional<uint64_t> length;
    uint32_t delay_ms = 0;
    uint32_t bytes = 7;  // header bytes sent by close-mid-header
    long line = 0;
};

enum class PageAction { none, close, silence, malformed, exit };

// A fault while page `number` (counted from 1 in the process) is served.
struct PageFault {
    uint32_t number = 0;
    uint64_t at_byte = 0;
    std::optional<uint32_t> read_status;
    PageAction action = PageAction::none;
    std::optional<uint64_t> extra;  // image bytes sent after the page's own
    long line = 0;
};

// The content of a page taken from an image file instead of the test chart.
struct PageSource {
    uint32_t page = 0;  // 0: every page without a source of its own
    std::shared_ptr<const SourceImage> image;
    uint32_t dpi = 0;  // the image's own resolution, at which it is placed; 0: fitted to the document
};

struct Scenario {
    std::string transcript;  // empty: no transcript
    std::string replay;      // a backend trace to replay instead of serving devices; empty: none
    // Requests a real device would refuse are refused (else answered as far
    // as they can be); both ways they are reported as warnings.
    bool strict = false;
    uint64_t piece_size = 262144;
    uint32_t piece_delay_ms = 0;
    std::optional<int> log;
    std::optional<StartupFault> startup;
    std::vector<DeviceSpec> devices;  // empty: the built-in catalogue
    std::vector<ScriptedReply> replies;
    std::vector<PageFault> pages;
    std::vector<PageSource> sources;
};

// The source of page `number`: its own, else the default one; null for the chart.
const PageSource* source_for_page(const std::vector<PageSource>& sources, uint32_t number);

// The largest piece and filler a scenario may ask for.
constexpr uint64_t max_piece_size = 1ull << 30;

// Reads and checks the file, and reads the image files it names (a relative
// image path is taken from the scenario file's folder); on failure `error`
// says what and where.
bool load_scenario(const std::string& path, Scenario& scenario, std::string& error);

const char* reply_action_name(ReplyAction action);
const char* page_action_name(PageAction action);

}  // namespace kelvra_sim
