// Replaying a backend trace: which recorded connection this process plays,
// and the request loop that checks each request against the recording and
// answers it with the reply recorded after it.
#pragma once

#include "simulator/trace_reader.h"
#include "simulator/transcript.h"

#include <cstddef>
#include <string>

namespace kelvra_sim {

// The exit status of a replay that met a request the recording does not
// have (or the backend ended the connection before the recording does).
constexpr int exit_diverged = 3;

// The connection this simulator plays, counted from 1: the k-th simulator a
// frontend process starts for one trace plays the k-th connection the
// recorded session started. The count is kept in TRACE.replay, a file beside
// the trace, one line per simulator naming the frontend process (its pid and
// start time, so that a later run of the frontend counts afresh); the file
// is locked while it is read and appended to.
bool claim_connection(const std::string& trace_path, size_t& connection, std::string& error);

// kelvra-sim --replay TRACE: what the trace holds, for the person about to
// replay it. The exit status: 0, or 2 for a trace that cannot be read.
int describe_trace(const std::string& path);

class ReplaySession {
public:
    // `where` names the connection in messages ("connection 2 of session 1
    // of TRACE"). The session owns neither the socket nor the transcript,
    // which may be null.
    ReplaySession(int socket, const TracedConnection& connection, std::string where, Transcript* transcript);

    // Serves the connection; 0 when it went as recorded, exit_diverged when
    // a request differed from the recording, 1 when the connection failed.
    int run();

private:
    bool send_reply(const TracedFrame& frame);
    bool send_job_over();
    int play_break(const TracedBreak& broken);
    int diverged(const std::string& what, const TracedFrame* recorded, const FrameHeader* header,
                 const std::string& payload);
    int wait_for_close();  // silence until the backend closes the connection

    int socket_;
    const TracedConnection& connection_;
    std::string where_;
    Transcript* transcript_;
    size_t requests_ = 0;  // the requests received so far
};

}  // namespace kelvra_sim
