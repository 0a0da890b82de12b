// Scan parameter, start and read: the XML and image messages of a scan.
#include "ipc/ipc.h"
#include "ipc/xml_message.h"
#include "ipc/connection_trace.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

using kelvra::ipc::read_xml_payload;
using kelvra::ipc::receive_xml_reply;
using kelvra::ipc::send_xml_request;
using kelvra::ipc::trace_received;

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

namespace {

// While image bytes go to the page pipe, SIGPIPE is blocked on this thread:
// a pipe whose reader has gone then fails with EPIPE (an IO_ERROR for the
// page) instead of ending the frontend's process. A SIGPIPE raised by our own
// write is taken off the thread again so that it never arrives later.
//
// A caller that blocks SIGPIPE itself (the reader thread, for its whole life)
// is left alone: its mask needs no setting back, and a signal our write left
// pending is its to handle as for any of its writes; the reader thread's goes
// with the thread. That keeps the cost per reply at one system call.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_only_);
        sigaddset(&pipe_only_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_only_, &previous_);
        caller_blocks_ = sigismember(&previous_, SIGPIPE) == 1;
        if (caller_blocks_) return;
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!caller_blocks_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void discard_own_signal() {
        if (caller_blocks_ || was_pending_) return;
        timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_only_, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t pipe_only_;
    sigset_t previous_;
    bool caller_blocks_ = false;
    bool was_pending_ = false;
};

bool is_cancelled(const std::atomic<uint8_t>* cancelled) { return cancelled != nullptr && cancelled->load() != 0; }

// Hands `size` bytes to the page pipe. The pipe may be non-blocking (so that
// a cancel never sticks on a full pipe): a full pipe is waited on in short
// polls between which the cancel flag is looked at again. *written counts
// what went out, also when a write fails or a cancel stops the loop.
SANE_Status write_image(int fd, const uint8_t* bytes, size_t size, const std::atomic<uint8_t>* cancelled,
                        size_t* written) {
    SigpipeBlock sigpipe_block;
    size_t done = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    while (done < size && !is_cancelled(cancelled)) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            pollfd room{fd, POLLOUT, 0};
            poll(&room, 1, 100);  // an interruption or a timeout only loops
            continue;
        }
        if (error == EPIPE) sigpipe_block.discard_own_signal();
        status = SANE_STATUS_IO_ERROR;
        break;
    }
    *written = done;
    return status;
}

}  // namespace

SANE_Status receive_read_reply(ipc_t* ipc, int output_fd, size_t* count, const std::atomic<uint8_t>* cancelled,
                               uint32_t* read_status, uint64_t room) {
    ipc_header_t header{};
    SANE_Status status = receive_header(ipc, &header);
    if (status != SANE_STATUS_GOOD) return status;
    if (header.command != IPC_CMD_READ_IMAGE || header.direction != IPC_REPLY) {
        if (ipc->trace != 0) trace_received(ipc, header, nullptr);
        return SANE_STATUS_IO_ERROR;
    }

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
        if (wanted > 0 && !is_cancelled(cancelled))
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
