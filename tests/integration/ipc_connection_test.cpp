// Starting, connecting to and ending a real scan-manager child (the
// simulator), including its start-up faults.
#include "platform/build_paths.h"
#include "ipc/ipc.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>
#include <chrono>
#include <map>
#include <set>
#include <string>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const auto kGrace = std::chrono::milliseconds(kelvra::kChildGraceMilliseconds);
const auto kSocketLimit = std::chrono::seconds(kelvra::kSocketTimeoutSeconds);

bool is_child(int pid) {
    auto children = kelvra_test::child_processes();
    return std::find(children.begin(), children.end(), pid) != children.end();
}

class IpcConnection : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KELVRA_SIM_SCENARIO");
        before_ = kelvra_test::ProcessSnapshot::take();
    }
    void TearDown() override {
        EXPECT_TRUE(kelvra_test::returns_to(before_))
            << "before: " << before_.describe() << ", after: " << kelvra_test::ProcessSnapshot::take().describe();
    }

    // Closes the record and checks that the child is gone and was reaped.
    static void close_and_expect_reaped(ipc_t* ipc) {
        const int pid = ipc->pid;
        EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
        if (pid > 0) {
            EXPECT_FALSE(is_child(pid)) << "ipc_close returned before the child " << pid << " was reaped";
        }
        EXPECT_EQ(kelvra_test::count_zombie_children(), 0);
    }

    kelvra_test::ProcessSnapshot before_{};
};

TEST_F(IpcConnection, OpensConnectsAndClosesWithoutLeaks) {
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    ASSERT_NE(ipc, nullptr);
    EXPECT_TRUE(is_child(ipc->pid));
    EXPECT_GT(ipc->port, 0);
    EXPECT_GE(ipc->socket, 0);
    // The connection really reaches the scan-manager.
    EXPECT_EQ(send_close_device(ipc), SANE_STATUS_GOOD);
    EXPECT_EQ(receive_close_ack(ipc), SANE_STATUS_GOOD);

    const auto start = Clock::now();
    close_and_expect_reaped(ipc);
    EXPECT_LT(Clock::now() - start, kGrace) << "a scan-manager that ends by itself is not waited for the grace period";
}

TEST_F(IpcConnection, NullArgumentsAreInvalidAndStartNothing) {
    EXPECT_EQ(ipc_open(nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_close(nullptr), SANE_STATUS_INVAL);
}

// The descriptors each scan-manager reported inheriting (its "fds" lines).
std::vector<std::vector<int>> inherited_descriptors(const std::string& transcript) {
    std::ifstream in(transcript);
    std::vector<std::vector<int>> reports;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("fds ", 0) != 0) continue;
        std::istringstream words(line.substr(4));
        int pid = 0, fd = 0;
        words >> pid;
        reports.emplace_back();
        while (words >> fd) reports.back().push_back(fd);
    }
    return reports;
}

// A frontend's own descriptors without close-on-exec (a daemon's client
// socket, a GUI's files) and the other connections' sockets never reach a
// scan-manager: it gets the standard streams and its port pipe, nothing else.
TEST_F(IpcConnection, ChildInheritsOnlyTheStandardStreamsAndItsPortPipe) {
    kelvra_test::Scenario scenario;
    const int inheritable = open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 3);
    ipc_t* first = nullptr;
    ASSERT_EQ(ipc_open(&first), SANE_STATUS_GOOD);
    ipc_t* second = nullptr;
    ASSERT_EQ(ipc_open(&second), SANE_STATUS_GOOD);
    close_and_expect_reaped(second);
    close_and_expect_reaped(first);
    close(inheritable);

    const auto reports = inherited_descriptors(scenario.transcript_path());
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& fds : reports) {
        ASSERT_EQ(fds.size(), 4u) << "0, 1, 2 and the port pipe, got " << testing::PrintToString(fds);
        EXPECT_EQ(fds[0], 0);
        EXPECT_EQ(fds[1], 1);
        EXPECT_EQ(fds[2], 2);
        EXPECT_NE(fds[3], inheritable);
    }
}

// A start that fails hands the record back in the state it reached, and
// ipc_close reaps the child from there.
struct StartupFault {
    const char* label;
    const char* scenario;
    bool port_known;   // a port arrived
    bool socket_kept;  // the socket was made and stays in the record for ipc_close
    bool open_waits;   // neither a port nor an end: given up after the socket limit
    bool killed;       // the child still runs at close: killed after the grace period
};

void PrintTo(const StartupFault& c, std::ostream* out) { *out << c.scenario; }

class IpcStartupFault : public IpcConnection, public ::testing::WithParamInterface<StartupFault> {};

TEST_P(IpcStartupFault, FailsWithTheRecordHandedBackAndCloseReapsTheChild) {
    const StartupFault& c = GetParam();
    kelvra_test::Scenario scenario(c.scenario);
    ipc_t* ipc = nullptr;
    auto start = Clock::now();
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_IO_ERROR);
    const auto opening = Clock::now() - start;
    if (c.open_waits) {
        EXPECT_GE(opening, kSocketLimit - 100ms);
        EXPECT_LT(opening, kSocketLimit + 1s);
    } else {
        EXPECT_LT(opening, 1s);
    }
    ASSERT_NE(ipc, nullptr);
    EXPECT_GT(ipc->pid, 0);
    EXPECT_TRUE(c.port_known ? ipc->port > 0 : ipc->port == -1) << ipc->port;
    EXPECT_EQ(ipc->socket >= 0, c.socket_kept) << ipc->socket;

    start = Clock::now();
    close_and_expect_reaped(ipc);
    const auto closing = Clock::now() - start;
    if (c.killed) {
        EXPECT_GE(closing, kGrace - 50ms);
    }
    EXPECT_LT(closing, c.killed ? kGrace + 1s : kGrace);
}

const StartupFault kStartupFaults[] = {
    {"negative_port", "<startup port=\"-1\"/>", false, false, false, true},
    {"child_ends_without_port", "<startup action=\"exit\"/>", false, false, false, false},
    {"child_hangs", "<startup action=\"hang\"/>", false, false, true, true},
    {"nothing_listens_at_the_port", "<startup action=\"unbound\"/>", true, true, false, false},
};

INSTANTIATE_TEST_SUITE_P(Faults, IpcStartupFault, ::testing::ValuesIn(kStartupFaults),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(IpcConnection, PortWiderThan16BitsConnectsToItsLow16Bits) {
    kelvra_test::Scenario scenario("<startup port_add=\"65536\"/>");
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    EXPECT_GE(ipc->port, 65536);
    EXPECT_EQ(send_close_device(ipc), SANE_STATUS_GOOD);
    EXPECT_EQ(receive_close_ack(ipc), SANE_STATUS_GOOD);
    close_and_expect_reaped(ipc);
}

TEST_F(IpcConnection, FrontendIgnoringChildSignalsDoesNotHangClose) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);

    ipc_t* ipc = nullptr;
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    ASSERT_NE(ipc, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
    EXPECT_LT(Clock::now() - start, kGrace);

    sigaction(SIGCHLD, &previous, nullptr);
}

}  // namespace
