// The model of the wire and of the documents that the reply checks compare
// the backend's results with; shared by the fuzz folder's check files.
#pragma once

#include "ipc/ipc.h"

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace kelvra_fuzz {

// Where the backend must be in the input after each read: a header takes 20
// bytes or meets end of file; a payload above the limit is refused without
// reading; a payload longer than what is left meets end of file.
struct Wire {
    const uint8_t* data;
    size_t size;
    size_t offset = 0;

    size_t remaining() const { return size - offset; }

    bool header(ipc_header_t* header) {
        if (remaining() < sizeof *header) {
            offset = size;
            return false;
        }
        std::memcpy(header, data + offset, sizeof *header);
        offset += sizeof *header;
        return true;
    }

    bool payload(uint64_t length, const uint8_t** bytes) {
        if (length > IPC_MAX_PAYLOAD) return false;
        if (length > remaining()) {
            offset = size;
            return false;
        }
        *bytes = data + offset;
        offset += static_cast<size_t>(length);
        return true;
    }
};

// Outputs start from this value, so that a field left alone can be told from
// one set to a number read from the reply.
inline constexpr uint32_t kPreset = 0x5EEDF00Du;

std::string mismatch(const char* what, SANE_Status got, SANE_Status want);

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

// The document libxml2 makes of a payload; null when it does not parse or has a DOCTYPE.
DocPtr parse_document(const uint8_t* bytes, uint64_t length);
bool named_element(const xmlNode* node, const char* name);
// The first top-level element with the given name, or null.
xmlNode* top_element(xmlDoc* doc, const char* name);
bool has_attribute(xmlNode* node, const char* name);
std::string attribute_text(xmlNode* node, const char* name);
// The value an integer attribute must read as: base-10 strtol, low 32 bits.
uint32_t attribute_number(xmlNode* node, const char* name);

// What the XML reply procedure must make of an input holding one reply.
struct XmlExpectation {
    SANE_Status status = SANE_STATUS_IO_ERROR;
    DocPtr doc;
    xmlNode* element = nullptr;  // the element the message reads, if any
};

XmlExpectation expect_xml_reply(const uint8_t* data, size_t size, uint32_t command, const char* root);

}  // namespace kelvra_fuzz
