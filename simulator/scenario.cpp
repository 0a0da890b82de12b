#include "simulator/scenario.h"

#include "simulator/scenario_checks.h"
#include "simulator/scenario_elements.h"
#include "simulator/read_to_end.h"
#include "simulator/xml_util.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace kelvra_sim {

using namespace scenario_file;

const PageSource* source_for_page(const std::vector<PageSource>& sources, uint32_t number) {
    const PageSource* fallback = nullptr;
    for (const PageSource& s : sources) {
        if (s.page == number) return &s;
        if (s.page == 0) fallback = &s;
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

namespace {

// One child of <scenario>, with the rules between elements: one <startup>,
// one <source> a page.
void read_child(const xmlNode* n, const std::string& path, Scenario& s,
                std::vector<std::shared_ptr<const SourceImage>>& images) {
    if (n->type == XML_TEXT_NODE || n->type == XML_COMMENT_NODE) {
        if (n->type == XML_TEXT_NODE && n->content != nullptr &&
            !trim(reinterpret_cast<const char*>(n->content)).empty())
            fail(n, "unexpected text inside <scenario>");
        return;
    }
    if (is_element(n, "startup")) {
        if (s.startup) fail(n, "only one <startup> is allowed");
        s.startup = read_startup(n);
    } else if (is_element(n, "device")) {
        DeviceSpec device = read_device(n);
        // The frontend names a device by its name alone.
        for (const DeviceSpec& other : s.devices)
            if (other.name == device.name) fail(n, "a second device named \"" + device.name + "\"");
        s.devices.push_back(std::move(device));
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

// A scenario file larger than this is not a scenario a person wrote.
constexpr off_t max_scenario_size = 64 << 20;

// The whole file, or why it cannot be read, in the words a user expects
// (libxml2 would say "failed to load external entity" for a missing file).
bool read_file(const std::string& path, std::string& text, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat about {};
    if (fd < 0 || ::fstat(fd, &about) != 0) {
        error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(about.st_mode) || about.st_size > max_scenario_size) {
        error = S_ISDIR(about.st_mode) ? "is a directory"
                : S_ISREG(about.st_mode) ? "is larger than " + std::to_string(max_scenario_size >> 20) + " MiB"
                                         : "is not a regular file";
        ::close(fd);
        return false;
    }
    text.resize(size_t(about.st_size));
    read_to_end(fd, text);
    ::close(fd);
    return true;
}

// libxml2's first error: the later ones follow from it and name later lines
// (an unclosed element is reported again at the end of the file).
struct FirstError {
    std::string message;
    int line = 0;
};

void keep_first(void* context, const xmlError* e) {
    auto* first = static_cast<FirstError*>(context);
    if (!first->message.empty() || e == nullptr) return;
    first->message = e->message != nullptr ? std::string(trim(e->message)) : "not well-formed XML";
    first->line = e->line;
}

XmlDocument parse_scenario(const std::string& path, const std::string& text, std::string& error) {
    if (text.size() > size_t(INT_MAX)) return nullptr;
    FirstError first;
    // The handler takes the errors instead of libxml2 printing them.
    xmlSetStructuredErrorFunc(&first, reinterpret_cast<xmlStructuredErrorFunc>(keep_first));
    XmlDocument doc(xmlReadMemory(text.data(), int(text.size()), path.c_str(), nullptr, XML_PARSE_NONET));
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    if (!doc) {
        error = first.message.empty() ? std::string("not well-formed XML") : first.message;
        if (first.line > 0) error = "line " + std::to_string(first.line) + ": " + error;
    }
    return doc;
}

}  // namespace

bool load_scenario(const std::string& path, Scenario& scenario, std::string& error) {
    std::string text, problem;
    if (!read_file(path, text, problem)) {
        error = path + ": cannot read the scenario: " + problem;
        return false;
    }
    XmlDocument doc = parse_scenario(path, text, problem);
    if (!doc) {
        error = path + ": " + problem;
        return false;
    }
    try {
        const xmlNode* root = xmlDocGetRootElement(doc.get());
        if (!is_element(root, "scenario")) fail(root, "the root element must be <scenario>");
        Scenario s;
        std::vector<std::shared_ptr<const SourceImage>> images;
        read_root(root, s);
        for (const xmlNode* n = root->children; n != nullptr; n = n->next) read_child(n, path, s, images);
        if (!s.replay.empty()) {
            // Every answer comes from the trace: devices and faults would have nothing to act on.
            if (s.startup || !s.devices.empty() || !s.replies.empty() || !s.pages.empty() || !s.sources.empty())
                fail(root, "a replay takes every answer from the trace: no <startup>, <device>, <reply>, <page> or "
                           "<source> beside replay");
            if (s.replay.front() != '/') {
                const size_t slash = path.rfind('/');
                if (slash != std::string::npos) s.replay = path.substr(0, slash + 1) + s.replay;
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
