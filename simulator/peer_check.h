// Who is at the other end of an accepted loopback connection. Any local
// process may connect to the listening port before the backend does; the
// simulator serves only a peer whose socket belongs to its own user.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kelvra_sim {

// Where the kernel's socket table is read: the socket-diagnostics netlink
// interface, the text table /proc/net/tcp, or the first where netlink is missing.
enum class SocketTable { netlink, proc, any };

// The uid owning the peer's socket of the accepted IPv4 TCP connection
// `connection`: the socket whose local and remote address:port are the
// connection's remote and local ones. Empty when the peer has no known owner;
// `why` then says why, and the caller refuses the connection. A socket that no
// process holds any more (no inode: closed after connecting, time-wait or
// orphaned) has no owner: the kernel reports such sockets with uid 0, which a
// simulator running as root would otherwise take for its own user's. So is
// one that is gone (reset) or not an IPv4 socket of this network namespace.
std::optional<uid_t> peer_uid(int connection, std::string& why, SocketTable table = SocketTable::any);

}  // namespace kelvra_sim
