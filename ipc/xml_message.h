// The two procedures every XML message follows: building and sending a
// request document, and receiving and reading a reply document.
#pragma once

#include "ipc/ipc.h"

#include <functional>

namespace kelvra::ipc {

// Fills the root element of a request: its attributes and children, in order.
using FillRequest = std::function<void(xmlNode* root)>;
// Reads the top-level element whose name matched the expected root name.
using ReadReply = std::function<void(xmlNode* element)>;

// Builds a document with one root element named `root_name`, lets `fill`
// complete it, and sends it as an XML frame with code `command`.
SANE_Status send_xml_request(ipc_t* ipc, uint32_t command, const char* root_name, const FillRequest& fill);

// Receives one XML reply to `command` and hands its element named
// `root_name`, if any, to `read`.
SANE_Status receive_xml_reply(ipc_t* ipc, uint32_t command, const char* root_name, const ReadReply& read);

// Parses a received payload as one document and hands its first top-level
// element named `root_name` to `read`. ACCESS_DENIED when it does not parse.
SANE_Status read_xml_payload(const ipc_payload_t& payload, const char* root_name, const ReadReply& read);

}  // namespace kelvra::ipc
