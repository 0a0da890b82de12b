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

constexpr unsigned tcp_time_wait = 6;

// The owner of a socket, or why it has none. A socket without an inode is no
// longer held by any process (closed after connecting, time-wait or orphaned):
// the kernel reports it with uid 0 whoever made it.
std::optional<uid_t> owner_of(unsigned state, unsigned long inode, uid_t uid, std::string& why) {
    if (state == tcp_time_wait || inode == 0) {
        why = state == tcp_time_wait ? "the peer's socket is in time-wait"
                                     : "no process holds the peer's socket any more (closed, time-wait or orphaned)";
        return std::nullopt;
    }
    return uid;
}

// True when the /proc/net/tcp row has `local` and `remote` as its two ends;
// `owner` is then what the row tells of its owner.
bool match_tcp_row(const std::string& row, const std::string& local, const std::string& remote,
                   std::optional<uid_t>& owner, std::string& why) {
    // "sl local rem st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ..."
    std::istringstream in(row);
    std::string slot, row_local, row_remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(in >> slot >> row_local >> row_remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
        return false;
    if (row_local != local || row_remote != remote) return false;
    auto number = [](const std::string& text, int base, unsigned long& value) {
        char* end = nullptr;
        errno = 0;
        value = std::strtoul(text.c_str(), &end, base);
        return !text.empty() && *end == '\0' && errno == 0;
    };
    unsigned long state_value = 0, uid_value = 0, inode_value = 0;
    if (!number(state, 16, state_value) || !number(uid, 10, uid_value) || !number(inode, 10, inode_value)) {
        why = "unreadable row in /proc/net/tcp";
        owner.reset();
        return true;
    }
    owner = owner_of(unsigned(state_value), inode_value, uid_t(uid_value), why);
    return true;
}

// The same table asked through the kernel's socket-diagnostics netlink
// interface: an exact look-up of one socket instead of a scan of every row,
// and no file held open meanwhile. Empty when the kernel gives no answer
// (interface missing) or the socket has no owner; `answered` tells the latter,
// and `why` says why.
std::optional<uid_t> diag_uid(const sockaddr_in& peer, const sockaddr_in& me, bool& answered, std::string& why) {
    answered = false;
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
                answered = true;
                uid = owner_of(found->idiag_state, found->idiag_inode, found->idiag_uid, why);
            } else if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                answered = static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error == -ENOENT;
                if (answered) why = "the kernel knows no socket " + table_address(peer) + " -> " + table_address(me);
            }
        }
    }
    ::close(s);
    return uid;
}

}  // namespace

std::optional<uid_t> peer_uid(int connection, std::string& why, SocketTable table) {
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
    if (table != SocketTable::proc) {
        bool answered = false;
        std::optional<uid_t> uid = diag_uid(theirs, mine, answered, why);
        if (uid || answered) return uid;
        if (table == SocketTable::netlink) {
            why = "the socket-diagnostics netlink interface gives no answer";
            return std::nullopt;
        }
    }
    // Without the netlink interface (a kernel or sandbox without it): the
    // text table. The peer's row has the two ends the other way round.
    const std::string local = table_address(theirs);
    const std::string remote = table_address(mine);
    std::ifstream text("/proc/net/tcp");
    if (!text) {
        why = std::string("cannot read /proc/net/tcp: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string row;
    std::getline(text, row);  // the heading
    std::optional<uid_t> owner;
    while (std::getline(text, row))
        if (row.find(local) != std::string::npos && match_tcp_row(row, local, remote, owner, why)) return owner;
    why = "no socket " + local + " -> " + remote + " in /proc/net/tcp";
    return std::nullopt;
}

}  // namespace kelvra_sim
