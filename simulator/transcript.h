// The transcript: what a simulator process received, sent and did, for tests
// and bug reports. JSON Lines: one JSON object per line, each written with one
// write(2) on a descriptor opened for appending, so that the records of several
// processes sharing the file never interleave. kelvra-sim(1) gives every
// record and field. Each record starts with
//   "time_us": microseconds since the Unix epoch (wall clock, so that the
//              records of several processes can be merged), "pid", "event".
// A frame record names its direction from the writer's side ("way":
// "received" or "sent") and carries the 20-byte header as it went over the
// wire, so that any program speaking the protocol can write the same shape.
#pragma once

#include "simulator/inherited.h"
#include "simulator/pages.h"
#include "simulator/scenario.h"
#include "simulator/wire.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_sim {

class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // Opens `path` for appending (see open_private_append); false with
    // `error` saying why when it cannot. Records before a successful open are dropped.
    bool open(const std::string& path, std::string& error);

    void start(const std::string& scenario_path, bool strict);
    void descriptors(const std::vector<int>& fds);
    void signals(const SignalState& state);
    void listening(int32_t port, int32_t reported);
    // A connection accepted and served, or refused (`reason` then says why).
    void connection(bool served, std::optional<uid_t> owner, const std::string& reason);

    enum class Way { received, sent };
    // `payload` is what went out or came in after the header; `header_bytes`
    // below 20 for a header cut short on purpose.
    void frame(Way way, const FrameHeader& header, std::string_view payload,
               size_t header_bytes = sizeof(FrameHeader));
    void page(uint32_t number, const PageGeometry& geometry, const std::string& source);

    // The scenario's faults, when they fire.
    void scripted_reply(uint32_t command, const ScriptedReply& script);
    void page_fault(const PageFault& fault, uint64_t offset);
    void startup_fault(const StartupFault& fault, StartupAction action);

    // A request a real device would refuse; `refused` when it was.
    void warning(uint32_t command, const std::string& text, bool refused);
    // A frame that ends the connection.
    void protocol_error(const FrameHeader& header, const std::string& text);
    // A replay: the trace and the connection of it this process plays.
    void replay(const std::string& trace, size_t session, size_t connection);
    // A request that differs from the recording (`line`: the recorded
    // request's in the trace, 0 when there is none).
    void divergence(const std::string& text, long line, const std::string& recorded, const std::string& received);
    void end(int status);

private:
    void write(const std::string& line);  // one record, its line feed included

    int fd_ = -1;
};

}  // namespace kelvra_sim
