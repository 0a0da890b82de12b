// XML request and reply procedures and the attribute conversions.
#include "ipc/xml_message.h"

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ipc/connection_trace.h"

namespace {

// libxml2 sets up its globals lazily on first use; doing it once when the
// library loads keeps the reader threads of several handles from racing on
// that. xmlCleanupParser is never called: another thread (another handle's
// reader) may be inside the library at any time, and the frontend or other
// code in its process may use libxml2 too.
struct XmlParserSetup {
    XmlParserSetup() { xmlInitParser(); }
} const xml_parser_setup;

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

struct ParserFree {
    void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};
using ParserPtr = std::unique_ptr<xmlParserCtxt, ParserFree>;

// A DOCTYPE is where entities, their expansion and every load of an external
// DTD or entity come from, and no scan-manager sends one. The parse stops the
// moment one begins, before its subset is read: nothing is expanded, and no
// file or network is reached, whatever libxml2's process-wide defaults (which
// belong to the frontend) say about substitution and DTD loading.
void stop_at_doctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    xmlStopParser(static_cast<xmlParserCtxt*>(context));
}

struct XmlFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlTextPtr = std::unique_ptr<xmlChar, XmlFree>;

const xmlChar* xml_text(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

}  // namespace

uint32_t get_int_attribute(xmlNode* node, const char* name) {
    XmlTextPtr value(xmlGetProp(node, xml_text(name)));
    if (!value) return 0;
    long number = std::strtol(reinterpret_cast<const char*>(value.get()), nullptr, 10);
    return static_cast<uint32_t>(number);  // the low 32 bits; -1 gives all bits set
}

std::string get_string_attribute(xmlNode* node, const char* name) {
    XmlTextPtr value(xmlGetProp(node, xml_text(name)));
    // A missing attribute reads as empty: it fills a DeviceInfo field as
    // nothing and matches no unit name.
    if (!value) return {};
    return reinterpret_cast<const char*>(value.get());
}

void set_uint_attribute(xmlNode* node, const char* name, uint32_t value) {
    char digits[11];  // 4294967295 and the terminating zero
    std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(value));
    xmlNewProp(node, xml_text(name), xml_text(digits));
}

namespace kelvra::ipc {

SANE_Status send_xml_request(ipc_t* ipc, uint32_t command, const char* root_name, const FillRequest& fill) {
    DocPtr doc(xmlNewDoc(xml_text("1.0")));
    if (!doc) return SANE_STATUS_ACCESS_DENIED;
    xmlNode* root = xmlNewNode(nullptr, xml_text(root_name));
    if (root == nullptr) return SANE_STATUS_ACCESS_DENIED;
    xmlDocSetRootElement(doc.get(), root);
    if (fill) fill(root);

    xmlChar* raw_text = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &raw_text, &size, "UTF-8");
    XmlTextPtr text(raw_text);
    if (!text || size < 0) return SANE_STATUS_IO_ERROR;

    ipc_header_t header{command, IPC_REQUEST, IPC_PAYLOAD_XML, static_cast<uint64_t>(size)};
    return ipc_write_frame(ipc, &header, text.get(), static_cast<size_t>(size));
}

SANE_Status read_xml_payload(const ipc_payload_t& payload, const char* root_name, const ReadReply& read) {
    // A parser of our own, so that only its handler of a DOCTYPE changes.
    ParserPtr parser(xmlNewParserCtxt());
    if (!parser) return SANE_STATUS_ACCESS_DENIED;
    parser->sax->internalSubset = stop_at_doctype;
    // The parser is told to stay silent: the backend prints nothing.
    DocPtr doc(xmlCtxtReadMemory(parser.get(), reinterpret_cast<const char*>(payload.data),
                                 static_cast<int>(payload.length), nullptr, nullptr,
                                 XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    // A stopped parse may still hand back the document begun so far.
    if (!doc || parser->errNo == XML_ERR_USER_STOP) return SANE_STATUS_ACCESS_DENIED;

    for (xmlNode* node = xmlDocGetRootElement(doc.get()); node != nullptr; node = node->next) {
        // Only elements: a processing instruction may carry the same name.
        if (node->type != XML_ELEMENT_NODE) continue;
        if (xmlStrcmp(node->name, xml_text(root_name)) != 0) continue;
        read(node);
        break;
    }
    return SANE_STATUS_GOOD;
}

SANE_Status receive_xml_reply(ipc_t* ipc, uint32_t command, const char* root_name, const ReadReply& read) {
    ipc_header_t header{};
    SANE_Status status = receive_header(ipc, &header);
    if (status != SANE_STATUS_GOOD) return status;
    if (header.command != command || header.direction != IPC_REPLY || header.kind != IPC_PAYLOAD_XML ||
        header.length == 0) {
        if (ipc->trace != 0) trace_received(ipc, header, nullptr);
        return SANE_STATUS_IO_ERROR;
    }

    ipc_payload_t payload{nullptr, 0, 0};
    status = receive_payload(ipc, &header, &payload);
    if (status == SANE_STATUS_GOOD) {
        if (ipc->trace != 0) trace_received(ipc, header, &payload);
        status = read_xml_payload(payload, root_name, read);
    }
    free_payload(&payload);
    return status;
}

}  // namespace kelvra::ipc
