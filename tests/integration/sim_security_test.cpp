// The simulator's listening port against other local processes: it serves
// exactly one connection, only from a socket of its own user. A connection
// from another user (the start-up intruder, which needs root to become
// "nobody") is closed unread, and the backend's scan goes on unharmed; a
// second connection of the same user finds the port closed. Bad intruder
// settings are among the scenario errors.
#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/scenario.h"
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

using namespace kelvra_test;

namespace {

// errno of a fresh connection to 127.0.0.1:port; 0 when it connects.
int connect_error(int32_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const int result = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    ::close(s);
    return result;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

uid_t nobody_uid() {
    const passwd* user = ::getpwnam("nobody");
    return user != nullptr ? user->pw_uid : uid_t(-1);
}

constexpr uint32_t intruder_command = 99;  // what the intruder sends

TEST(SimSecurity, ASecondConnectionOfTheSameUserFindsThePortClosed) {
    SimProcess sim;
    ASSERT_TRUE(sim.start());
    int32_t port = -1;
    ASSERT_TRUE(sim.read_port(port));
    EXPECT_TRUE(sim.pipe_ends_without_data()) << "nothing follows the port";
    ASSERT_TRUE(sim.connect_to(port));
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(2, {}, reply)) << "the first connection is served";
    EXPECT_EQ(ECONNREFUSED, connect_error(port)) << "the listening socket must be closed after the first client";
    ASSERT_TRUE(sim.exchange(2, {}, reply)) << "the first connection goes on";
    sim.close_connection();
    EXPECT_EQ(0, sim.wait_exit());
}

// Standard error of the test process goes to a file while the backend runs
// its scan-managers, so that their log can be read afterwards.
struct CapturedStderr {
    explicit CapturedStderr(const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStderr() {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    const int saved = ::dup(STDERR_FILENO);
};

TEST(SimSecurity, TheBackendScansUnharmedWhileAnotherUserRacesForThePort) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can start a process as nobody";
    if (nobody_uid() == uid_t(-1)) GTEST_SKIP() << "there is no user nobody";
    Scenario scenario(R"(<startup intruder="nobody"/>)");
    const std::string log_path = scenario.directory() + "/log";
    ::setenv("KELVRA_SIM_LOG", "1", 1);
    std::string bytes, expected;
    SANE_Status opened, final_status = SANE_STATUS_GOOD;
    {
        CapturedStderr capture(log_path);
        SANE_Handle handle = nullptr;
        opened = sane_kelvra_open("fb-a4", &handle);
        if (opened == SANE_STATUS_GOOD) {
            kelvra_test::set_word_option(handle, OPT_BR_X, SANE_FIX(20.0));
            kelvra_test::set_word_option(handle, OPT_BR_Y, SANE_FIX(15.0));
            SANE_Parameters params{};
            if (sane_kelvra_get_parameters(handle, &params) == SANE_STATUS_GOOD &&
                sane_kelvra_start(handle) == SANE_STATUS_GOOD) {
                PageRead page = read_page(handle);
                final_status = page.final_status;
                bytes = page.bytes;
                expected = expected_page(params, 1);
            }
            sane_kelvra_close(handle);
        }
        sane_kelvra_exit();
    }
    ::unsetenv("KELVRA_SIM_LOG");
    const std::string log = sim_read_file(log_path);
    ASSERT_EQ(SANE_STATUS_GOOD, opened) << log;

    EXPECT_EQ(SANE_STATUS_EOF, final_status);
    EXPECT_FALSE(bytes.empty());
    EXPECT_TRUE(bytes == expected) << "the page differs from what the simulator generates";

    // Two scan-managers ran (the enumeration's and the handle's), each with
    // its intruder, each refused before the backend was served.
    std::set<int> pids;
    for (const Frame& frame : scenario.frames()) {
        pids.insert(frame.pid);
        EXPECT_NE(intruder_command, frame.command) << "an intruder's request was read";
    }
    EXPECT_EQ(2u, pids.size());
    const std::string refused = "refused a connection from uid " + std::to_string(nobody_uid());
    EXPECT_EQ(pids.size(), count_of(log, refused)) << log;
    EXPECT_EQ(pids.size(),
              count_of(log, "intruder (user nobody) exited with status 0: its connection was closed without a reply"))
        << log;
}

}  // namespace
