// The start-up option <startup intruder="USER"/>: a child process that
// becomes USER, connects to the simulator's listening port before the port is
// reported, sends one request and waits for an answer. It shows that a
// connection from another user is refused and does not hold up the client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kelvra_sim {

// Exit statuses of the intruder child.
enum : int {
    intruder_refused = 0,        // the connection was closed without a byte of reply
    intruder_served = 1,         // a reply arrived: the simulator served it
    intruder_no_connection = 2,  // connect failed
    intruder_no_user = 3,        // could not become the user
    intruder_timeout = 4,        // nothing happened for a long time
};

class Intruder {
public:
    Intruder() = default;
    ~Intruder();  // kills a child still running and reaps it
    Intruder(const Intruder&) = delete;
    Intruder& operator=(const Intruder&) = delete;

    // Forks the child and returns once its connection is established (or it
    // failed), so that it is queued before any later connection. `uid` and
    // `gid` are the user's ids; the child closes every descriptor but its own.
    bool start(const std::string& user, uid_t uid, gid_t gid, int32_t port);

    // Waits up to `timeout_ms` for the child to end and logs what happened to it.
    void finish(int timeout_ms);

private:
    pid_t pid_ = -1;
    std::string user_;
};

}  // namespace kelvra_sim
