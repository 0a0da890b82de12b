// Scan parameter, start and read: the XML and image messages of a scan.
#include "ipc/connection_trace.h"
#include "ipc/image_relay.h"
#include "ipc/ipc.h"
#include "ipc/xml_message.h"

#include <algorithm>

using kelvra::ipc::read_xml_payload;
using kelvra::ipc::relay_image;
using kelvra::ipc::receive_xml_reply;
using kelvra::ipc::send_xml_request;
using kelvra::ipc::trace_received;
using kelvra::ipc::write_image;

SANE_Status send_scan_parameter(ipc_t* ipc, const ScanParameter* parameter) {
    return send_xml_request(ipc, IPC_CMD_SCAN_PARAMETER, "scan_parameter", [&](xmlNode* root) {
        set_uint_attribute(root, "original_placement", parameter->original_placement);
        set_uint_attribute(root, "scan_side", parameter->scan_side);
        set_uint_attribute(root, "color_mode", parameter->color_mode);
        set_uint_attribute(root, "input_resolution", parameter->input_resolution);
        set_uint_attribute(root, "input_position_x", parameter->input_position_x);
        set_uint_attribute(root, "input_position_y", parameter->input_position_y);
        set_uint_attribute(root, "input_width", parameter->input_width);
        set_uint_attribute(root, "input_height", parameter->input_height);
        set_uint_attribute(root, "output_resolution", parameter->output_resolution);
        set_uint_attribute(root, "output_width", parameter->output_width);
        set_uint_attribute(root, "output_height", parameter->output_height);
        set_uint_attribute(root, "black_text_mode", parameter->black_text_mode);
    });
}

SANE_Status receive_image_info(ipc_t* ipc, ImageInfo* image) {
    return receive_xml_reply(ipc, IPC_CMD_SCAN_PARAMETER, "image_info", [&](xmlNode* element) {
        image->color_space = get_int_attribute(element, "color_space");
        image->resolution = get_int_attribute(element, "resolution");
        image->width = get_int_attribute(element, "width");
        image->height = get_int_attribute(element, "height");
        image->bits_per_component = get_int_attribute(element, "bits_per_component");
        image->bits_per_pixel = get_int_attribute(element, "bits_per_pixel");
        image->bytes_per_row = get_int_attribute(element, "bytes_per_row");
    });
}

SANE_Status receive_scan_status(ipc_t* ipc, int32_t* scan_status) {
    return receive_xml_reply(ipc, IPC_CMD_START_SCAN, "status", [&](xmlNode* element) {
        *scan_status = static_cast<int32_t>(get_int_attribute(element, "scan_status"));
    });
}

SANE_Status receive_read_reply(ipc_t* ipc, int output_fd, size_t* count, const std::atomic<uint8_t>* cancelled,
                               uint32_t* read_status, uint64_t room) {
    ipc_header_t header{};
    SANE_Status status = receive_header(ipc, &header);
    if (status != SANE_STATUS_GOOD) return status;
    if (header.command != IPC_CMD_READ_IMAGE || header.direction != IPC_REPLY) {
        if (ipc->trace != 0) trace_received(ipc, header, nullptr);
        return SANE_STATUS_IO_ERROR;
    }

    // Image bytes are spliced unless the kernel refused that on this
    // connection, or the connection is traced: the trace checksums (and may
    // keep) every image payload, which needs its bytes in our memory, so a
    // traced connection copies them.
    if (header.kind == IPC_PAYLOAD_IMAGE && ipc->copy_images == 0 && ipc->trace == 0)
        return relay_image(ipc, header.length, room, output_fd, cancelled, count);

    ipc_payload_t payload{nullptr, 0, 0};
    status = receive_payload(ipc, &header, &payload);
    if (status != SANE_STATUS_GOOD) {
        free_payload(&payload);
        return status;
    }

    if (header.kind == IPC_PAYLOAD_IMAGE) {
        // Bytes beyond `room` have no reader: they are dropped, never written.
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(payload.length, room));
        size_t written = 0;
        if (wanted > 0 && (cancelled == nullptr || cancelled->load() == 0))
            status = write_image(output_fd, payload.data, wanted, cancelled, &written);
        *count = written;
        // The trace's one look at image bytes: their checksum (and the bytes
        // when asked), taken from the reply buffer after the pipe has them.
        if (ipc->trace != 0) trace_received(ipc, header, &payload);
    } else if (header.kind == IPC_PAYLOAD_XML) {
        if (ipc->trace != 0) trace_received(ipc, header, &payload);
        status = read_xml_payload(payload, "status", [&](xmlNode* element) {
            *read_status = get_int_attribute(element, "read_status");
        });
    } else if (ipc->trace != 0) {
        // Any other kind carries nothing for us: its bytes were read and are dropped.
        trace_received(ipc, header, &payload);
    }

    free_payload(&payload);
    return status;
}
