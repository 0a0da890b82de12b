#include "simulator/scenario_elements.h"

#include "simulator/scenario_checks.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <utility>

namespace kelvra_sim::scenario_file {

void read_root(const xmlNode* root, Scenario& s) {
    check_attributes(root, {"transcript", "piece_size", "piece_delay_ms", "log", "strict", "replay"});
    read_string(root, "transcript", s.transcript);
    read_string(root, "replay", s.replay);
    if (auto text = attribute(root, "strict")) s.strict = parse_unsigned(root, "strict", *text, 1) == 1;
    read_unsigned(root, "piece_size", s.piece_size, max_piece_size);
    if (s.piece_size == 0) fail(root, "piece_size must be at least 1");
    read_unsigned(root, "piece_delay_ms", s.piece_delay_ms);
    if (auto text = attribute(root, "log")) s.log = int(parse_signed(root, "log", *text, 0, 3));
}

StartupFault read_startup(const xmlNode* node) {
    check_attributes(node, {"port", "port_add", "action", "intruder"});
    StartupFault f;
    f.line = xmlGetLineNo(node);
    int parts = 0;
    if (auto text = attribute(node, "port")) {
        f.port = int32_t(parse_signed(node, "port", *text, INT32_MIN, INT32_MAX));
        ++parts;
    }
    if (auto text = attribute(node, "port_add")) {
        f.port_add = parse_signed(node, "port_add", *text, INT32_MIN, INT32_MAX);
        ++parts;
    }
    if (auto text = attribute(node, "action")) {
        if (*text == "exit") f.action = StartupAction::exit;
        else if (*text == "hang") f.action = StartupAction::hang;
        else if (*text == "unbound") f.action = StartupAction::unbound;
        else fail(node, "startup action \"" + *text + "\" is none of exit, hang, unbound");
        ++parts;
    }
    if (auto text = attribute(node, "intruder")) {
        if (text->empty()) fail(node, "intruder names no user");
        if (f.action != StartupAction::none) fail(node, "<startup> takes an intruder or an action, not both");
        const passwd* user = ::getpwnam(text->c_str());
        if (user == nullptr) fail(node, "intruder: there is no user \"" + *text + "\"");
        if (::geteuid() != 0) fail(node, "intruder: only root can start a process as another user");
        f.intruder = *text;
        f.intruder_uid = user->pw_uid;
        f.intruder_gid = user->pw_gid;
    }
    if (parts > 1 || (parts == 0 && !f.intruder))
        fail(node, "<startup> takes exactly one of port, port_add, action (and may add an intruder)");
    return f;
}

DeviceSpec read_device(const xmlNode* node) {
    check_attributes(node, {"name", "vendor", "model", "type", "vendor_id", "product_id", "usb_serial_id",
                            "deviceName", "host", "basic_resolution", "flatbed", "adf", "units", "sheets",
                            "flatbed_original_alignment", "adf_original_alignment", "black_text_support"});
    DeviceSpec d;
    if (!attribute(node, "name")) fail(node, "<device> needs a name");
    read_string(node, "name", d.name);
    read_string(node, "vendor", d.vendor);
    read_string(node, "model", d.model);
    read_string(node, "type", d.type);
    read_string(node, "vendor_id", d.vendor_id);
    read_string(node, "product_id", d.product_id);
    read_string(node, "usb_serial_id", d.usb_serial_id);
    read_string(node, "deviceName", d.deviceName);
    read_string(node, "host", d.host);
    read_unsigned(node, "basic_resolution", d.basic_resolution);
    // Every size of the device is counted at this resolution.
    if (d.basic_resolution == 0) fail(node, "basic_resolution must be at least 1");
    read_area(node, "flatbed", d.flatbed);
    read_area(node, "adf", d.adf);
    if (auto text = attribute(node, "units")) {
        d.units = words(*text);
        // A misspelt unit would be skipped by the backend, and the source it meant silently missing.
        for (size_t i = 0; i < d.units.size(); ++i) {
            const std::string& unit = d.units[i];
            if (unit != "flatbed" && unit != "adf" && unit != "adf_duplex")
                fail(node, "unknown scanner unit \"" + unit + "\" (the units are flatbed, adf and adf_duplex)");
            for (size_t j = 0; j < i; ++j)
                if (d.units[j] == unit) fail(node, "scanner unit \"" + unit + "\" is listed twice");
        }
    }
    read_unsigned(node, "sheets", d.sheets);
    read_unsigned(node, "flatbed_original_alignment", d.flatbed_original_alignment);
    read_unsigned(node, "adf_original_alignment", d.adf_original_alignment);
    read_unsigned(node, "black_text_support", d.black_text_support);
    return d;
}

namespace {

// The element's own text is the body when it has CDATA or text that is not
// only layout white space.
std::optional<std::string> element_text(const xmlNode* node) {
    bool has_cdata = false;
    std::string text;
    for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
        if (c->type == XML_CDATA_SECTION_NODE) has_cdata = true;
        if ((c->type == XML_CDATA_SECTION_NODE || c->type == XML_TEXT_NODE) && c->content != nullptr)
            text += reinterpret_cast<const char*>(c->content);
        if (c->type == XML_ELEMENT_NODE) fail(node, "<reply> holds text only, not elements");
    }
    if (has_cdata || !trim(text).empty()) return text;
    return std::nullopt;
}

}  // namespace

ScriptedReply read_reply(const xmlNode* node) {
    check_attributes(node, {"command", "nth", "action", "body", "body_size", "header_command", "direction",
                            "kind", "length", "delay_ms", "bytes"});
    ScriptedReply r;
    r.line = xmlGetLineNo(node);
    auto command = attribute(node, "command");
    if (!command) fail(node, "<reply> needs a command");
    r.command = uint32_t(parse_unsigned(node, "command", *command, UINT32_MAX));
    read_unsigned(node, "nth", r.nth, UINT64_MAX);
    if (attribute(node, "nth") && r.nth == 0) fail(node, "nth counts from 1");
    if (auto text = attribute(node, "action")) {
        static const std::pair<const char*, ReplyAction> actions[] = {
            {"reply", ReplyAction::reply},
            {"silence", ReplyAction::silence},
            {"close", ReplyAction::close},
            {"exit", ReplyAction::exit},
            {"close-mid-header", ReplyAction::close_mid_header},
            {"close-mid-payload", ReplyAction::close_mid_payload},
            {"split", ReplyAction::split},
        };
        bool found = false;
        for (const auto& [name, action] : actions) {
            if (*text == name) {
                r.action = action;
                found = true;
            }
        }
        if (!found) fail(node, "reply action \"" + *text + "\" is unknown");
    }
    r.body = attribute(node, "body");
    if (!r.body) r.body = element_text(node);
    read_optional(node, "body_size", r.body_size, max_piece_size);
    if (r.body && r.body_size) fail(node, "<reply> takes a body or a body_size, not both");
    read_optional(node, "header_command", r.header_command, UINT32_MAX);
    read_optional(node, "direction", r.direction, UINT32_MAX);
    read_optional(node, "kind", r.kind, UINT32_MAX);
    read_optional(node, "length", r.length, UINT64_MAX);
    read_unsigned(node, "delay_ms", r.delay_ms);
    read_unsigned(node, "bytes", r.bytes, 20);
    return r;
}

PageFault read_page(const xmlNode* node) {
    check_attributes(node, {"number", "at_byte", "read_status", "action", "extra"});
    PageFault f;
    f.line = xmlGetLineNo(node);
    auto number = attribute(node, "number");
    if (!number) fail(node, "<page> needs a number");
    f.number = uint32_t(parse_unsigned(node, "number", *number, UINT32_MAX));
    if (f.number == 0) fail(node, "pages are numbered from 1");
    read_unsigned(node, "at_byte", f.at_byte, UINT64_MAX);
    read_optional(node, "read_status", f.read_status, UINT32_MAX);
    read_optional(node, "extra", f.extra, max_piece_size);
    if (auto text = attribute(node, "action")) {
        if (*text == "close") f.action = PageAction::close;
        else if (*text == "silence") f.action = PageAction::silence;
        else if (*text == "malformed") f.action = PageAction::malformed;
        else if (*text == "exit") f.action = PageAction::exit;
        else fail(node, "page action \"" + *text + "\" is none of close, silence, malformed, exit");
    }
    if (f.read_status && f.action != PageAction::none) fail(node, "<page> takes a read_status or an action, not both");
    if (!f.read_status && f.action == PageAction::none && !f.extra)
        fail(node, "<page> needs a read_status, an action or extra");
    return f;
}

namespace {

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

PageSource read_source(const xmlNode* node, const std::string& scenario_path,
                       std::vector<std::shared_ptr<const SourceImage>>& loaded) {
    check_attributes(node, {"page", "file", "dpi"});
    PageSource source;
    read_unsigned(node, "dpi", source.dpi);
    if (attribute(node, "dpi") && source.dpi == 0) fail(node, "dpi must be at least 1");
    if (auto text = attribute(node, "page")) {
        source.page = uint32_t(parse_unsigned(node, "page", *text, UINT32_MAX));
        if (source.page == 0) fail(node, "pages are numbered from 1");
    }
    auto file = attribute(node, "file");
    if (!file || file->empty()) fail(node, "<source> needs a file");
    const std::string path = (*file)[0] == '/' ? *file : folder_of(scenario_path) + "/" + *file;
    // A file named by several sources is read once.
    for (const auto& image : loaded)
        if (image->path == path) source.image = image;
    if (!source.image) {
        auto image = std::make_shared<SourceImage>();
        std::string problem;
        if (!load_image_file(path, *image, problem)) fail(node, "page source: " + problem);
        loaded.push_back(image);
        source.image = std::move(image);
    }
    return source;
}

}  // namespace kelvra_sim::scenario_file
