#include "simulator/peer_check.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kelvra_sim {
namespace {

// An address as the table writes it: the 32-bit address in network order
// printed as a host-order number, then the port as a number.
std::string table_address(const sockaddr_in& address) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X:%04X", unsigned(address.sin_addr.s_addr), unsigned(ntohs(address.sin_port)));
    return text;
}

// True when the /proc/net/tcp row has `local` and `remote` as its two ends
// and tells its owner; `uid` is then that owner.
bool match_tcp_row(const std::string& row, const std::string& local, const std::string& remote, uid_t& uid) {
    // "sl local rem st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ..."
    std::istringstream in(row);
    std::string slot, row_local, row_remote, state, queues, timer, retransmits, owner;
    if (!(in >> slot >> row_local >> row_remote >> state >> queues >> timer >> retransmits >> owner))
        return false;
    if (row_local != local || row_remote != remote) return false;
    // A time-wait row shows uid 0 whoever owned the socket. An orphan (the
    // peer closed its socket after connecting) keeps its creator's uid, so a
    // client that sends a request and closes at once is still recognised.
    if (state == "06") return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(owner.c_str(), &end, 10);
    if (owner.empty() || *end != '\0' || errno != 0) return false;
    uid = uid_t(value);
    return true;
}

constexpr unsigned char tcp_time_wait = 6;

// The same table asked through the kernel's socket-diagnostics netlink
// interface: an exact look-up of one socket instead of a scan of every row,
// and no file held open meanwhile. Empty when the kernel gives no answer
// (interface missing) or has no such socket; `found_none` tells the latter.
std::optional<uid_t> diag_uid(const sockaddr_in& peer, const sockaddr_in& me, bool& found_none) {
    found_none = false;
    const int s = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (s < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    // The peer's socket: its source is our remote end.
    message.request.id.idiag_sport = peer.sin_port;
    message.request.id.idiag_dport = me.sin_port;
    message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = me.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<uid_t> uid;
    if (::sendto(s, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        ssize_t(sizeof message)) {
        alignas(nlmsghdr) char reply[8192];
        ssize_t n;
        while ((n = ::recv(s, reply, sizeof reply, 0)) < 0 && errno == EINTR) {
        }
        const auto* h = reinterpret_cast<const nlmsghdr*>(reply);
        if (n >= ssize_t(sizeof *h) && NLMSG_OK(h, size_t(n))) {
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
                if (found->idiag_state != tcp_time_wait) uid = found->idiag_uid;
                else found_none = true;
            } else if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                found_none = static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error == -ENOENT;
            }
        }
    }
    ::close(s);
    return uid;
}

}  // namespace

std::optional<uid_t> peer_uid(int connection, std::string& why) {
    sockaddr_in mine{}, theirs{};
    socklen_t size = sizeof mine;
    if (::getsockname(connection, reinterpret_cast<sockaddr*>(&mine), &size) != 0 || mine.sin_family != AF_INET) {
        why = "the connection has no IPv4 address";
        return std::nullopt;
    }
    size = sizeof theirs;
    if (::getpeername(connection, reinterpret_cast<sockaddr*>(&theirs), &size) != 0 || theirs.sin_family != AF_INET) {
        why = std::string("the peer's address is unknown: ") + std::strerror(errno);
        return std::nullopt;
    }
    bool found_none = false;
    if (std::optional<uid_t> uid = diag_uid(theirs, mine, found_none)) return uid;
    if (found_none) {
        why = "the kernel knows no live socket " + table_address(theirs) + " -> " + table_address(mine);
        return std::nullopt;
    }
    // Without the netlink interface (a kernel or sandbox without it): the
    // text table. The peer's row has the two ends the other way round.
    const std::string local = table_address(theirs);
    const std::string remote = table_address(mine);
    std::ifstream table("/proc/net/tcp");
    if (!table) {
        why = std::string("cannot read /proc/net/tcp: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string row;
    std::getline(table, row);  // the heading
    uid_t uid = 0;
    while (std::getline(table, row))
        if (row.find(local) != std::string::npos && match_tcp_row(row, local, remote, uid)) return uid;
    why = "no socket " + local + " -> " + remote + " in /proc/net/tcp";
    return std::nullopt;
}

}  // namespace kelvra_sim
