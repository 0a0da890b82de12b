// The wire and document model behind the reply checks.
#include "fuzz/reply_model.h"

#include <libxml/parser.h>

#include <cstdlib>

namespace kelvra_fuzz {

namespace {

std::string status_text(SANE_Status status) { return std::to_string(static_cast<int>(status)); }

}  // namespace

std::string mismatch(const char* what, SANE_Status got, SANE_Status want) {
    return std::string(what) + ": status " + status_text(got) + ", expected " + status_text(want);
}

bool named_element(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

DocPtr parse_document(const uint8_t* bytes, uint64_t length) {
    if (length == 0) return nullptr;
    DocPtr doc(xmlReadMemory(reinterpret_cast<const char*>(bytes), static_cast<int>(length), nullptr, nullptr,
                             XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    // A document with a DOCTYPE is refused as if it did not parse.
    if (doc && (doc->intSubset != nullptr || doc->extSubset != nullptr)) return nullptr;
    return doc;
}

xmlNode* top_element(xmlDoc* doc, const char* name) {
    if (doc == nullptr) return nullptr;
    for (xmlNode* node = xmlDocGetRootElement(doc); node != nullptr; node = node->next)
        if (named_element(node, name)) return node;
    return nullptr;
}

bool has_attribute(xmlNode* node, const char* name) {
    return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
}

std::string attribute_text(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return {};
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

uint32_t attribute_number(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return 0;
    long number = std::strtol(reinterpret_cast<const char*>(value), nullptr, 10);
    xmlFree(value);
    return static_cast<uint32_t>(static_cast<unsigned long>(number));
}

XmlExpectation expect_xml_reply(const uint8_t* data, size_t size, uint32_t command, const char* root) {
    XmlExpectation want;
    Wire wire{data, size};
    ipc_header_t header{};
    if (!wire.header(&header)) return want;
    if (header.command != command || header.direction != IPC_REPLY || header.kind != IPC_PAYLOAD_XML ||
        header.length == 0)
        return want;
    const uint8_t* bytes = nullptr;
    if (!wire.payload(header.length, &bytes)) return want;
    want.doc = parse_document(bytes, header.length);
    if (!want.doc) {
        want.status = SANE_STATUS_ACCESS_DENIED;
        return want;
    }
    want.status = SANE_STATUS_GOOD;
    want.element = top_element(want.doc.get(), root);
    return want;
}

}  // namespace kelvra_fuzz
