// The connection's records in the trace (see connection_trace.h).
#include "ipc/connection_trace.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>

#include "platform/build_paths.h"
#include "trace/trace.h"

namespace kelvra::ipc {
namespace {

trace::Header decoded(const ipc_header_t& header) {
    return {header.command, header.direction, header.kind, header.length};
}

// Who ended the connection, when a receive met its end: the scan-manager
// ("closed"), or the backend itself ("cut": a stop that shut it down, to end
// a wait on a scan-manager that stays silent). The socket's TCP state tells:
// the side that shut down first waits for the other's end (FIN_WAIT,
// CLOSING, TIME_WAIT), the other side was asked to end (CLOSE_WAIT, LAST_ACK).
bool cut_by_us(const ipc_t* ipc) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(ipc->socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
    switch (info.tcpi_state) {
        case TCP_FIN_WAIT1:
        case TCP_FIN_WAIT2:
        case TCP_CLOSING:
        case TCP_TIME_WAIT: return true;
        default: return false;
    }
}

const char* cause(const ipc_t* ipc, const Breakoff& why) {
    if (why.expired) return "time limit";
    if (why.error == 0) return cut_by_us(ipc) ? "cut" : "closed";
    const char* name = strerrorname_np(why.error);
    return name != nullptr ? name : "unknown error";
}

void failure(const ipc_t* ipc, const char* way, const ipc_header_t* header, const Breakoff& why) {
    trace::Record record("failure");
    record.add("connection", ipc->trace).add("way", way).add("stage", header == nullptr ? "header" : "payload");
    if (header != nullptr) record.header(decoded(*header));
    record.add("got", why.got).add("cause", cause(ipc, why)).write();
}

// "exit_status", or null and "signal" for a child a signal ended.
void add_wait_status(trace::Record& record, int wait_status) {
    if (wait_status < 0) record.add_null("exit_status");
    else if (WIFEXITED(wait_status)) record.add("exit_status", WEXITSTATUS(wait_status));
    else record.add_null("exit_status").add("signal", WTERMSIG(wait_status));
}

}  // namespace

void trace_start(const ipc_t* ipc, SANE_Status status, int wait_status) {
    trace::Record record("start");
    record.add("connection", ipc->trace)
        .add("program", kelvra::kScanManagerPath)
        .add("manager_pid", ipc->pid)
        .add("port", ipc->port)
        .status(status);
    if (wait_status >= 0) add_wait_status(record, wait_status);  // it ended before it wrote a port
    record.write();
}

void trace_exit(const ipc_t* ipc, int wait_status, bool killed) {
    trace::Record record("exit");
    record.add("connection", ipc->trace).add("manager_pid", ipc->pid);
    add_wait_status(record, wait_status);
    record.add("killed", killed).write();
    trace::connection_ended(ipc->trace);
}

void trace_sent(const ipc_t* ipc, const ipc_header_t& header, const void* payload, uint64_t sent,
                SANE_Status status, const Breakoff& why) {
    const uint64_t header_bytes = sent < sizeof header ? sent : sizeof header;
    trace::Record("frame")
        .add("connection", ipc->trace)
        .add("way", "sent")
        .frame(decoded(header), payload, sent - header_bytes, header_bytes)
        .write();
    if (status == SANE_STATUS_GOOD) return;
    Breakoff part = why;
    part.got = sent < sizeof header ? sent : sent - sizeof header;
    failure(ipc, "sent", sent < sizeof header ? nullptr : &header, part);
}

void trace_received(const ipc_t* ipc, const ipc_header_t& header, const ipc_payload_t* payload) {
    trace::Record("frame")
        .add("connection", ipc->trace)
        .add("way", "received")
        .frame(decoded(header), payload != nullptr ? payload->data : nullptr,
               payload != nullptr ? payload->length : 0)
        .write();
}

void trace_receive_failed(const ipc_t* ipc, const ipc_header_t* header, const Breakoff& why) {
    failure(ipc, "received", header, why);
}

}  // namespace kelvra::ipc
