// The check of the simulator's trace reader: any input is either refused
// with a message naming what is wrong, or read into connections whose frames
// are consistent with their own headers.
#include "fuzz/reply_checks.h"

#include "simulator/trace_reader.h"

#include <set>
#include <string_view>

namespace kelvra_fuzz {

std::string run_trace(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kelvra_sim::Trace trace;
    std::string error;
    // The payloads of the first connection of the first session are kept, as
    // a replay keeps its own.
    if (!kelvra_sim::read_trace(text, trace, error, {1, 1})) {
        if (error.empty()) return "refused without saying why";
        if (error.find('\n') != std::string::npos) return "an error of more than one line: " + error.substr(0, 200);
        return {};
    }
    if (trace.sessions.empty()) return "read without a session";
    for (size_t s = 0; s < trace.sessions.size(); ++s) {
        std::set<uint32_t> numbers;
        for (size_t c = 0; c < trace.sessions[s].connections.size(); ++c) {
            const kelvra_sim::TracedConnection& connection = trace.sessions[s].connections[c];
            if (connection.number == 0 || !numbers.insert(connection.number).second)
                return "connection number " + std::to_string(connection.number) + " is 0 or twice";
            const bool kept = s == 0 && c == 0;
            for (const kelvra_sim::TracedStep& step : connection.steps) {
                if (step.kind == kelvra_sim::TracedStep::Kind::broken) {
                    const uint64_t most = step.broken.header ? step.broken.header->length : 20;
                    if (step.broken.got > most) return "a break after more bytes than there were";
                    continue;
                }
                const kelvra_sim::TracedFrame& frame = step.frame;
                if (frame.bytes > frame.header.length || frame.header_bytes > 20)
                    return "a frame with more bytes than its header announces";
                if (!kept && frame.payload) return "a payload kept of a connection not asked for";
                if (frame.payload && frame.payload->size() != frame.bytes) return "a payload of another size than bytes";
                if (kept && !frame.payload && frame.bytes > 0 && frame.header.kind != kelvra_sim::kind_image)
                    return "the bytes of a payload that is not an image are missing";
            }
        }
    }
    return {};
}

}  // namespace kelvra_fuzz
