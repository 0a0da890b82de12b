// The start-up handshake with the client: the listening socket on 127.0.0.1,
// the port written to the inherited pipe, and the one connection served; or
// the start-up fault a scenario asks for instead.
#pragma once

#include "simulator/intruder.h"
#include "simulator/scenario.h"
#include "simulator/transcript.h"

namespace kelvra_sim {

// Plays a start-up fault whose action is not none; returns the exit status
// (never returns for a hang).
int play_startup_fault(StartupAction action, int pipe_fd);

// Listens, writes the port (or the scenario's wrong one) to `pipe_fd` and
// closes it, and accepts the first connection from this process's own user.
// `intruder` is started before the port is written when the scenario names
// one, and lives as long as the caller keeps it. Every connection, served or
// refused, goes into the transcript. Returns the connection, or -1 with
// `status` the exit status.
int connect_client(const StartupFault& startup, int pipe_fd, Intruder& intruder, Transcript& transcript, int& status);

}  // namespace kelvra_sim
