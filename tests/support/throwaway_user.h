// A user of its own for a test that needs a second local user: created with
// useradd when the test runs as root, removed with userdel when it ends.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kelvra_test {

class ThrowawayUser {
public:
    ThrowawayUser() : name_("kelvra-t" + std::to_string(::getpid())) {
        if (::geteuid() != 0) {
            why_ = "not root: only root can make a second user";
            return;
        }
        const std::string add = "useradd --system --no-create-home --user-group --shell /usr/sbin/nologin " + name_ +
                                " > /dev/null 2>&1";
        if (std::system(add.c_str()) != 0) {
            why_ = "useradd " + name_ + " failed (no useradd, or a read-only user database)";
            return;
        }
        made_ = true;
        if (const passwd* user = ::getpwnam(name_.c_str())) {
            uid_ = user->pw_uid;
            gid_ = user->pw_gid;
        } else {
            why_ = "useradd made no user " + name_;
        }
    }
    ~ThrowawayUser() {
        if (made_ && std::system(("userdel " + name_ + " > /dev/null 2>&1").c_str()) != 0) {
            // Nothing more to do: a test cannot fail in its clean-up.
        }
    }
    ThrowawayUser(const ThrowawayUser&) = delete;
    ThrowawayUser& operator=(const ThrowawayUser&) = delete;

    bool ready() const { return why_.empty(); }
    const std::string& why_not() const { return why_; }  // for the skip message
    const std::string& name() const { return name_; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }

private:
    std::string name_, why_;
    bool made_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

}  // namespace kelvra_test
