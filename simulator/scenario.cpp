#include "simulator/scenario.h"

#include "simulator/xml_util.h"

#include <libxml/parser.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string_view>

namespace kelvra_sim {
namespace {

// A configuration mistake, with the element's line for the message.
struct ScenarioError {
    std::string message;
};

[[noreturn]] void fail(const xmlNode* node, const std::string& message) {
    std::ostringstream text;
    text << "line " << (node != nullptr ? xmlGetLineNo(node) : 0) << ": " << message;
    throw ScenarioError{text.str()};
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Only the listed attributes are allowed: a misspelt one would otherwise be
// ignored silently and the fault it meant would never happen.
void check_attributes(const xmlNode* node, std::initializer_list<std::string_view> allowed) {
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
        std::string_view name(reinterpret_cast<const char*>(a->name));
        bool known = false;
        for (std::string_view candidate : allowed) known = known || candidate == name;
        if (!known) {
            // Built by appending: GCC 12 at -O3 reports a false -Wrestrict
            // overlap for "literal" + std::string&& here.
            std::string message = "<";
            message += reinterpret_cast<const char*>(node->name);
            message += "> has no attribute \"";
            message += name;
            message += '"';
            fail(node, message);
        }
    }
}

int64_t parse_signed(const xmlNode* node, const char* name, const std::string& text, int64_t low, int64_t high) {
    std::string_view t = trim(text);
    std::string copy(t);
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(copy.c_str(), &end, 10);
    if (copy.empty() || *end != '\0' || errno == ERANGE || value < low || value > high)
        fail(node, std::string("attribute ") + name + "=\"" + text + "\" is not a number from " +
                       std::to_string(low) + " to " + std::to_string(high));
    return value;
}

uint64_t parse_unsigned(const xmlNode* node, const char* name, const std::string& text, uint64_t high) {
    std::string copy(trim(text));
    bool digits_only = !copy.empty();
    for (char c : copy) digits_only = digits_only && c >= '0' && c <= '9';
    errno = 0;
    unsigned long long value = digits_only ? std::strtoull(copy.c_str(), nullptr, 10) : 0;
    if (!digits_only || errno == ERANGE || value > high)
        fail(node, std::string("attribute ") + name + "=\"" + text + "\" is not a number from 0 to " +
                       std::to_string(high));
    return value;
}

template <typename T>
void read_unsigned(const xmlNode* node, const char* name, T& field, uint64_t high = UINT32_MAX) {
    if (auto text = attribute(node, name)) field = T(parse_unsigned(node, name, *text, high));
}

template <typename T>
void read_optional(const xmlNode* node, const char* name, std::optional<T>& field, uint64_t high) {
    if (auto text = attribute(node, name)) field = T(parse_unsigned(node, name, *text, high));
}

void read_string(const xmlNode* node, const char* name, std::string& field) {
    if (auto text = attribute(node, name)) field = *text;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    std::string word;
    while (in >> word) out.push_back(word);
    return out;
}

void read_area(const xmlNode* node, const char* name, AreaLimits& area) {
    auto text = attribute(node, name);
    if (!text) return;
    std::vector<std::string> parts = words(*text);
    if (parts.size() != 4) fail(node, std::string("attribute ") + name + " needs four numbers: minW maxW minH maxH");
    area.min_width = uint32_t(parse_unsigned(node, name, parts[0], UINT32_MAX));
    area.max_width = uint32_t(parse_unsigned(node, name, parts[1], UINT32_MAX));
    area.min_height = uint32_t(parse_unsigned(node, name, parts[2], UINT32_MAX));
    area.max_height = uint32_t(parse_unsigned(node, name, parts[3], UINT32_MAX));
}

void read_root(const xmlNode* root, Scenario& s) {
    check_attributes(root, {"transcript", "piece_size", "piece_delay_ms", "log"});
    read_string(root, "transcript", s.transcript);
    read_unsigned(root, "piece_size", s.piece_size, max_piece_size);
    if (s.piece_size == 0) fail(root, "piece_size must be at least 1");
    read_unsigned(root, "piece_delay_ms", s.piece_delay_ms);
    if (auto text = attribute(root, "log")) s.log = int(parse_signed(root, "log", *text, 0, 3));
}

StartupFault read_startup(const xmlNode* node) {
    check_attributes(node, {"port", "port_add", "action", "intruder"});
    StartupFault f;
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
    read_area(node, "flatbed", d.flatbed);
    read_area(node, "adf", d.adf);
    if (auto text = attribute(node, "units")) d.units = words(*text);
    read_unsigned(node, "sheets", d.sheets);
    read_unsigned(node, "flatbed_original_alignment", d.flatbed_original_alignment);
    read_unsigned(node, "adf_original_alignment", d.adf_original_alignment);
    read_unsigned(node, "black_text_support", d.black_text_support);
    return d;
}

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

ScriptedReply read_reply(const xmlNode* node) {
    check_attributes(node, {"command", "nth", "action", "body", "body_size", "header_command", "direction",
                            "kind", "length", "delay_ms", "bytes"});
    ScriptedReply r;
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

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

PageSource read_source(const xmlNode* node, const std::string& scenario_path,
                       std::vector<std::shared_ptr<const SourceImage>>& loaded) {
    check_attributes(node, {"page", "file"});
    PageSource source;
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

}  // namespace

const SourceImage* source_for_page(const std::vector<PageSource>& sources, uint32_t number) {
    const SourceImage* fallback = nullptr;
    for (const PageSource& s : sources) {
        if (s.page == number) return s.image.get();
        if (s.page == 0) fallback = s.image.get();
    }
    return fallback;
}

const char* reply_action_name(ReplyAction action) {
    switch (action) {
    case ReplyAction::reply: return "reply";
    case ReplyAction::silence: return "silence";
    case ReplyAction::close: return "close";
    case ReplyAction::exit: return "exit";
    case ReplyAction::close_mid_header: return "close-mid-header";
    case ReplyAction::close_mid_payload: return "close-mid-payload";
    case ReplyAction::split: return "split";
    }
    return "?";
}

const char* page_action_name(PageAction action) {
    switch (action) {
    case PageAction::none: return "none";
    case PageAction::close: return "close";
    case PageAction::silence: return "silence";
    case PageAction::malformed: return "malformed";
    case PageAction::exit: return "exit";
    }
    return "?";
}

bool load_scenario(const std::string& path, Scenario& scenario, std::string& error) {
    XmlDocument doc(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET));
    if (!doc) {
        const xmlError* e = xmlGetLastError();
        error = path + ": " + (e != nullptr && e->message != nullptr ? std::string(trim(e->message)) : "cannot be read");
        if (e != nullptr && e->line > 0) error += " (line " + std::to_string(e->line) + ")";
        return false;
    }
    try {
        const xmlNode* root = xmlDocGetRootElement(doc.get());
        if (!is_element(root, "scenario")) fail(root, "the root element must be <scenario>");
        Scenario s;
        std::vector<std::shared_ptr<const SourceImage>> images;
        read_root(root, s);
        for (const xmlNode* n = root->children; n != nullptr; n = n->next) {
            if (n->type == XML_TEXT_NODE || n->type == XML_COMMENT_NODE) {
                if (n->type == XML_TEXT_NODE && n->content != nullptr &&
                    !trim(reinterpret_cast<const char*>(n->content)).empty())
                    fail(n, "unexpected text inside <scenario>");
                continue;
            }
            if (is_element(n, "startup")) {
                if (s.startup) fail(n, "only one <startup> is allowed");
                s.startup = read_startup(n);
            } else if (is_element(n, "device")) {
                s.devices.push_back(read_device(n));
            } else if (is_element(n, "reply")) {
                s.replies.push_back(read_reply(n));
            } else if (is_element(n, "page")) {
                s.pages.push_back(read_page(n));
            } else if (is_element(n, "source")) {
                PageSource source = read_source(n, path, images);
                for (const PageSource& other : s.sources)
                    if (other.page == source.page)
                        fail(n, source.page == 0 ? std::string("only one <source> without a page is allowed")
                                                 : "page " + std::to_string(source.page) + " has two <source>s");
                s.sources.push_back(std::move(source));
            } else if (n->type == XML_ELEMENT_NODE) {
                fail(n, "unknown element <" + std::string(reinterpret_cast<const char*>(n->name)) + ">");
            }
        }
        scenario = std::move(s);
        return true;
    } catch (const ScenarioError& e) {
        error = path + ": " + e.message;
        return false;
    }
}

}  // namespace kelvra_sim
