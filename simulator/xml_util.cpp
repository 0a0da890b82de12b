#include "simulator/xml_util.h"

#include <libxml/parser.h>

#include <climits>
#include <cstdlib>

namespace kelvra_sim {

XmlDocument parse_xml(std::string_view text) {
    if (text.empty() || text.size() > size_t(INT_MAX)) return nullptr;
    return XmlDocument(xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                                     XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET));
}

bool is_element(const xmlNode* node, const char* name) {
    return node != nullptr && node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

uint32_t request_number(const xmlNode* node, const char* name) {
    auto text = attribute(node, name);
    if (!text) return 0;
    return uint32_t(std::strtoll(text->c_str(), nullptr, 10));
}

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        case '\t': out += "&#9;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace kelvra_sim
