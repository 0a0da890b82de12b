// The scan-manager child (the simulator) of a connection: what it inherits,
// and how its end is waited for. Its start-up faults are in the fault matrix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "ipc/ipc.h"
#include "platform/build_paths.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

// A connection that reaches the scan-manager closes without waiting the grace
// period for it, and leaves nothing behind.
void open_exchange_close() {
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    EXPECT_TRUE(send_close_device(ipc) == SANE_STATUS_GOOD && receive_close_ack(ipc) == SANE_STATUS_GOOD);
    EXPECT_LT(kelvra_test::milliseconds_of([&] { EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD); }),
              kelvra::kChildGraceMilliseconds);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

// A frontend's own descriptors without close-on-exec (a daemon's client
// socket, a GUI's files) and the other connections' sockets never reach a
// scan-manager: it gets the standard streams and its port pipe, nothing else.
TEST(IpcConnection, ChildInheritsOnlyTheStandardStreamsAndItsPortPipe) {
    kelvra_test::Scenario scenario;
    const int inheritable = open("/dev/null", O_RDONLY);
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
    EXPECT_EQ(ipc_open(nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_close(nullptr), SANE_STATUS_INVAL);
}

// The kernel reaps the children of a frontend that ignores SIGCHLD: the wait
// for the scan-manager must not hang on one that is already gone.
TEST(IpcConnection, FrontendIgnoringChildSignalsDoesNotHangClose) {
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    open_exchange_close();
    sigaction(SIGCHLD, &previous, nullptr);
}

}  // namespace
