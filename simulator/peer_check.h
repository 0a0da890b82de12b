// Who is at the other end of an accepted loopback connection. Any local
// process may connect to the listening port before the backend does; the
// simulator serves only a peer whose socket belongs to its own user.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kelvra_sim {

// The uid owning the peer's socket of the accepted IPv4 TCP connection
// `connection`: the row of the kernel's socket table (/proc/net/tcp) whose
// local and remote address:port are the connection's remote and local ones.
// Empty when there is no such row (the peer reset the connection or is in
// time-wait, or is not an IPv4 socket of this network namespace); `why` then
// says so, and the caller refuses the connection.
std::optional<uid_t> peer_uid(int connection, std::string& why);

}  // namespace kelvra_sim
