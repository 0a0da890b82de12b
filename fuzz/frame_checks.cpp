// The checks of the frame-level readers: read replies into the page pipe, the
// bare acknowledgements and plain frames.
#include "fuzz/reply_checks.h"

#include "fuzz/reply_model.h"
#include "fuzz/wire_feed.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace kelvra_fuzz {

namespace {

// The first input byte is not sent: its top bit presets the cancel flag and
// its other bits choose the room left in the page (0: no limit, k: (k-1)^2*4
// bytes, so 0 and small odd sizes occur). The rest is a run of replies, read
// one after the other until one fails.
uint64_t read_room(uint8_t control) {
    const uint64_t k = control & 0x7Fu;
    return k == 0 ? UINT64_MAX : (k - 1) * (k - 1) * 4;
}

}  // namespace

std::string run_read_reply(const uint8_t* data, size_t size) {
    if (size == 0) return {};
    const uint8_t control = data[0];
    const bool cancel = (control & 0x80u) != 0;
    const uint64_t room = read_room(control);
    const std::atomic<uint8_t> cancelled{static_cast<uint8_t>(cancel ? 1 : 0)};
    Wire wire{data + 1, size - 1};

    PagePipe page;
    WireFeed feed(data + 1, size - 1);
    for (int reply = 0;; ++reply) {
        const std::string at = "reply " + std::to_string(reply) + ": ";
        constexpr size_t kUntouchedCount = 0xC0FFEE;
        size_t count = kUntouchedCount;
        uint32_t read_status = kPreset;
        // The pipe holds more than any input: a write never waits.
        SANE_Status status = receive_read_reply(&feed.ipc, page.write_fd, &count, &cancelled, &read_status, room);
        std::vector<uint8_t> written = page.drain();

        ipc_header_t header{};
        const uint8_t* bytes = nullptr;
        SANE_Status want = SANE_STATUS_GOOD;
        const bool header_there = wire.header(&header);
        const size_t left = wire.remaining();  // of a payload cut short, what arrived
        const uint8_t* arrived = wire.data + wire.offset;
        if (!header_there || header.command != IPC_CMD_READ_IMAGE || header.direction != IPC_REPLY ||
            !wire.payload(header.length, &bytes))
            want = SANE_STATUS_IO_ERROR;
        // Image bytes go into the pipe as they arrive: of an image reply cut
        // short, those that arrived may be there already (nothing is counted).
        const uint64_t cut_length = header.length;  // packed: no reference to it
        if (want != SANE_STATUS_GOOD && header_there && header.command == IPC_CMD_READ_IMAGE &&
            header.direction == IPC_REPLY && header.kind == IPC_PAYLOAD_IMAGE && cut_length <= IPC_MAX_PAYLOAD &&
            status == want) {
            const uint64_t most = cancel ? 0 : std::min<uint64_t>({left, room, cut_length});
            if (written.size() > most || (!written.empty() && std::memcmp(written.data(), arrived, written.size()) != 0))
                return at + "the page pipe received bytes of a cut reply that did not arrive";
            written.clear();
        }

        DocPtr doc;
        if (want == SANE_STATUS_GOOD && header.kind == IPC_PAYLOAD_XML) {
            doc = parse_document(bytes, header.length);
            if (!doc) want = SANE_STATUS_ACCESS_DENIED;
        }
        if (status != want) return at + mismatch("receive_read_reply", status, want);

        if (want == SANE_STATUS_GOOD && header.kind == IPC_PAYLOAD_IMAGE) {
            const uint64_t length = header.length;  // packed: no reference to it
            const uint64_t expected = cancel ? 0 : std::min(length, room);
            if (count != expected)
                return at + "count " + std::to_string(count) + ", expected " + std::to_string(expected);
            if (written.size() != expected || (expected > 0 && std::memcmp(written.data(), bytes, expected) != 0))
                return at + "the page pipe did not receive the reply's first bytes";
            if (read_status != kPreset) return at + "image data set read_status";
        } else {
            if (!written.empty()) return at + "bytes written for a reply without image data";
            if (count != kUntouchedCount) return at + "count set for a reply without image data";
            uint32_t expected = kPreset;
            if (doc) {
                xmlNode* element = top_element(doc.get(), "status");
                if (element != nullptr) expected = attribute_number(element, "read_status");
            }
            if (read_status != expected)
                return at + "read_status " + std::to_string(read_status) + ", expected " + std::to_string(expected);
        }
        if (status != SANE_STATUS_GOOD) return {};
    }
}

// Bare acknowledgements, then plain frames: receive_close_ack and
// receive_end_ack each take one header, then receive_header and
// receive_payload take frames until the input ends.
std::string run_acks(const uint8_t* data, size_t size) {
    Wire wire{data, size};
    WireFeed feed(data, size);

    const struct {
        const char* name;
        SANE_Status (*receive)(ipc_t*);
        uint32_t command;
    } acks[] = {{"receive_close_ack", receive_close_ack, IPC_CMD_CLOSE_DEVICE},
                {"receive_end_ack", receive_end_ack, IPC_CMD_END_SCAN}};
    for (const auto& ack : acks) {
        SANE_Status status = ack.receive(&feed.ipc);
        ipc_header_t header{};
        const bool good = wire.header(&header) && header.command == ack.command && header.direction == IPC_REPLY &&
                          header.kind == IPC_PAYLOAD_NONE && header.length == 0;
        const SANE_Status want = good ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
        if (status != want) return mismatch(ack.name, status, want);
    }

    for (int frame = 0;; ++frame) {
        const std::string at = "frame " + std::to_string(frame) + ": ";
        ipc_header_t header{};
        SANE_Status status = receive_header(&feed.ipc, &header);
        ipc_header_t expected{};
        const bool header_there = wire.header(&expected);
        if (status != (header_there ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR))
            return at + mismatch("receive_header", status, header_there ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR);
        if (!header_there) return {};
        if (std::memcmp(&header, &expected, sizeof header) != 0) return at + "header bytes differ from the input's";

        ipc_payload_t payload{nullptr, 0, 0};
        status = receive_payload(&feed.ipc, &header, &payload);
        const uint8_t* bytes = nullptr;
        const bool refused = header.length > IPC_MAX_PAYLOAD;
        const bool complete = wire.payload(header.length, &bytes);
        std::string problem;
        if (status != (complete ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR)) {
            problem = mismatch("receive_payload", status, complete ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR);
        } else if (refused && payload.data != nullptr) {
            problem = "a refused payload holds a buffer";
        } else if (complete) {
            if (payload.kind != header.kind || payload.length != header.length)
                problem = "payload kind or length differ from the header's";
            else if ((header.length == 0) != (payload.data == nullptr))
                problem = "an empty payload must hold no buffer, any other one must";
            else if (header.length > 0 && std::memcmp(payload.data, bytes, header.length) != 0)
                problem = "payload bytes differ from the input's";
        }
        free_payload(&payload);
        if (payload.data != nullptr || payload.kind != 0 || payload.length != 0)
            problem = "free_payload left the record non-empty";
        if (!problem.empty()) return at + problem;
    }
}

}  // namespace kelvra_fuzz
