// The simulator's peer check, run as root against a second user of its own:
// that user's connection is never taken for root's, whether its socket is
// still open, was closed right after a request (the kernel then reports a
// time-wait socket with uid 0, which a root simulator once served) or was
// reset; through the netlink interface and through /proc/net/tcp alike.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "simulator/peer_check.h"
#include "simulator/wire.h"
#include "tests/support/throwaway_user.h"

namespace {

using kelvra_sim::SocketTable;
enum class Peer { open, sent_and_closed, reset };

// Connects to `port` as `user`, sends one request and leaves its socket as
// `peer` says; an open peer waits until `hold` reaches end of file.
[[noreturn]] void run_peer(const kelvra_test::ThrowawayUser& user, uint16_t port, Peer peer, int ready, int hold) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(user.gid()) != 0 || ::setuid(user.uid()) != 0) _exit(3);
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(4);
    const kelvra_sim::FrameHeader request{0, 0, 0, 0};
    kelvra_sim::send_frame(s, request, nullptr, 0);
    if (peer == Peer::reset) {
        const linger abort{1, 0};  // close with a reset
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    if (peer != Peer::open) {
        ::close(s);
        _exit(0);
    }
    char byte = 'r';
    if (::write(ready, &byte, 1) != 1) _exit(5);
    while (::read(hold, &byte, 1) > 0) {
    }
    _exit(0);
}

TEST(SimPeerCheck, AnotherUsersPeerIsNeverTakenForOurOwn) {
    const kelvra_test::ThrowawayUser user;
    if (!user.ready()) GTEST_SKIP() << "the peer check's test needs a second user: " << user.why_not();
    const struct {
        Peer peer;
        bool owner_known;  // else: no owner, refused
    } cases[] = {{Peer::open, true}, {Peer::sent_and_closed, false}, {Peer::reset, false}};
    for (const SocketTable table : {SocketTable::netlink, SocketTable::proc}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << (table == SocketTable::netlink ? "netlink" : "/proc/net/tcp")
                                            << ", peer " << int(c.peer));
            const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t size = sizeof address;
            ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                        ::listen(listener, 4) == 0 &&
                        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0);
            int ready[2], hold[2];
            ASSERT_TRUE(::pipe2(ready, O_CLOEXEC) == 0 && ::pipe2(hold, O_CLOEXEC) == 0);
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(hold[1]);
                run_peer(user, ntohs(address.sin_port), c.peer, ready[1], hold[0]);
            }
            ::close(ready[1]);
            ::close(hold[0]);
            int status = 0;
            char byte = 0;
            if (c.peer == Peer::open) {
                ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the peer did not connect";
            } else {
                ASSERT_EQ(::waitpid(child, &status, 0), child);
                ASSERT_EQ(status, 0) << "the peer did not connect and send";
                ::usleep(50000);  // the close's exchange with our side runs in the kernel meanwhile
            }
            // Accepted only now, as a simulator that was slow to accept.
            const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ASSERT_GE(connection, 0);
            std::string why;
            const std::optional<uid_t> owner = kelvra_sim::peer_uid(connection, why, table);
            if (c.owner_known)
                EXPECT_TRUE(owner && *owner == user.uid()) << (owner ? std::to_string(*owner) : why);
            else
                EXPECT_FALSE(owner) << "owner " << *owner << " of a socket no process holds";
            for (int fd : {connection, listener, ready[0], hold[1]}) ::close(fd);
            if (c.peer == Peer::open) ::waitpid(child, &status, 0);
        }
    }
}

}  // namespace
