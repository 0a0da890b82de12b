// Small helpers around libxml2: parsing request texts quietly, reading
// attributes, and escaping the texts written into reply documents.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra_sim {

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;

// Parses `text` without printing anything and without touching the network;
// null when it is not a well-formed document.
XmlDocument parse_xml(std::string_view text);

// The element's name is `name` (exact, case-sensitive).
bool is_element(const xmlNode* node, const char* name);

// The attribute's text, or nothing when the element has no such attribute.
std::optional<std::string> attribute(const xmlNode* node, const char* name);

// The attribute read as a request number: an unsigned decimal, leading blanks
// allowed, digits up to the first other character, low 32 bits kept; a
// missing or digitless attribute gives 0.
uint32_t request_number(const xmlNode* node, const char* name);

// Text escaped for use inside a double-quoted attribute value.
std::string xml_escape(std::string_view text);

// The declaration every reply starts with, as libxml2 writes it.
constexpr std::string_view xml_declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

}  // namespace kelvra_sim
