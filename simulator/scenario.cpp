#include "simulator/scenario.h"

#include "simulator/scenario_checks.h"
#include "simulator/scenario_elements.h"
#include "simulator/xml_util.h"

#include <libxml/parser.h>

#include <string_view>

namespace kelvra_sim {

using namespace scenario_file;

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

}  // namespace

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
        for (const xmlNode* n = root->children; n != nullptr; n = n->next) read_child(n, path, s, images);
        scenario = std::move(s);
        return true;
    } catch (const ScenarioError& e) {
        error = path + ": " + e.message;
        return false;
    }
}

}  // namespace kelvra_sim
