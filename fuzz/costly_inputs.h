// Inputs that are not worth a fuzzer's time. The backend allocates a reply's
// announced length before it reads the payload; under AddressSanitizer an
// allocation of a few hundred megabytes costs half a second, and mutating a
// length field makes such inputs constantly. What they exercise — a payload
// that meets end of file — is the same at any length beyond the input's end,
// so the targets skip the costly ones (the regression tests run one).
#pragma once

#include "ipc/ipc.h"

#include <cstdint>
#include <cstring>

namespace kelvra_fuzz {

// Beyond the end of the input and above this, a length is only slow.
inline constexpr uint64_t kCheapLength = 1u << 20;

enum class Frames {
    kOneXmlReply,   // one reply, read only if its command, direction and kind fit
    kReadReplies,   // a control byte, then read replies while their headers fit
    kAcksThenAny,   // two acknowledgement headers, then any frames
};

// Whether the backend would allocate a costly buffer for a payload that the
// input does not hold. `command` is the expected code of an XML reply.
inline bool announces_costly_length(const uint8_t* data, size_t size, Frames frames, uint32_t command = 0) {
    size_t offset = frames == Frames::kReadReplies ? 1 : frames == Frames::kAcksThenAny ? 40 : 0;
    while (offset <= size && size - offset >= sizeof(ipc_header_t)) {
        ipc_header_t header;
        std::memcpy(&header, data + offset, sizeof header);
        offset += sizeof header;
        if (frames == Frames::kOneXmlReply &&
            (header.command != command || header.direction != IPC_REPLY || header.kind != IPC_PAYLOAD_XML))
            return false;
        if (frames == Frames::kReadReplies &&
            (header.command != IPC_CMD_READ_IMAGE || header.direction != IPC_REPLY))
            return false;
        const uint64_t length = header.length;
        if (length > IPC_MAX_PAYLOAD) {
            if (frames != Frames::kAcksThenAny) return false;
            continue;  // refused unread: the next header follows at once
        }
        if (length > size - offset) return length > kCheapLength;
        offset += static_cast<size_t>(length);
        if (frames == Frames::kOneXmlReply) return false;
    }
    return false;
}

}  // namespace kelvra_fuzz
