// Starting, connecting to and ending a scan-manager child (the simulator):
// what it inherits, and how its end is waited for. Its start-up faults are
// proven through the entry points in the fault matrix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "ipc/ipc.h"
#include "platform/build_paths.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using namespace kelvra_test;

class IpcConnection : public testing::Test {
protected:
    void SetUp() override { before_ = ProcessSnapshot::take(); }
    void TearDown() override { EXPECT_TRUE(returns_to(before_)) << ProcessSnapshot::take().describe(); }

    // Opens a connection that reaches the scan-manager, and closes it: the
    // child is reaped by then, without waiting the grace period for it.
    static void open_exchange_close() {
        ipc_t* ipc = nullptr;
        ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
        EXPECT_EQ(send_close_device(ipc), SANE_STATUS_GOOD);
        EXPECT_EQ(receive_close_ack(ipc), SANE_STATUS_GOOD);
        EXPECT_LT(milliseconds_of([&] { EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD); }),
                  kelvra::kChildGraceMilliseconds);
    }

    ProcessSnapshot before_{};
};

TEST_F(IpcConnection, OpensExchangesAndClosesWithoutWaitingTheGracePeriod) {
    unsetenv("KELVRA_SIM_SCENARIO");
    open_exchange_close();
    EXPECT_EQ(ipc_open(nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_close(nullptr), SANE_STATUS_INVAL);
}

// A frontend's own descriptors without close-on-exec (a daemon's client
// socket, a GUI's files) and the other connections' sockets never reach a
// scan-manager: it gets the standard streams and its port pipe, nothing else.
TEST_F(IpcConnection, ChildInheritsOnlyTheStandardStreamsAndItsPortPipe) {
    Scenario scenario;
    const int inheritable = open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 3);
    ipc_t* first = nullptr;
    ASSERT_EQ(ipc_open(&first), SANE_STATUS_GOOD);
    open_exchange_close();
    EXPECT_EQ(ipc_close(first), SANE_STATUS_GOOD);
    close(inheritable);
    const auto reports = scenario.inherited_descriptors();
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& fds : reports) {
        ASSERT_EQ(fds.size(), 4u) << "0, 1, 2 and the port pipe, got " << testing::PrintToString(fds);
        EXPECT_TRUE(fds[0] == 0 && fds[1] == 1 && fds[2] == 2 && fds[3] != inheritable);
    }
}

// A frontend that ignores SIGCHLD has its children reaped by the kernel: the
// wait for the scan-manager must not hang on a child that is already gone.
TEST_F(IpcConnection, FrontendIgnoringChildSignalsDoesNotHangClose) {
    unsetenv("KELVRA_SIM_SCENARIO");
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    open_exchange_close();
    sigaction(SIGCHLD, &previous, nullptr);
}

}  // namespace
