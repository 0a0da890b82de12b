// The library's edges: the entry points' argument checks (a refused call
// touches no output), and what a connection's scan-manager child inherits
// and how its end is waited for (its start-up faults: the fault matrix).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "backend/backend.h"
#include "platform/build_paths.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"

namespace {

TEST(EntryPoints, ArgumentsAreCheckedWithoutTouchingOutputs) {
    SANE_Int version = 0;
    EXPECT_EQ(sane_kelvra_init(nullptr, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_init(&version, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(version, 0x01000000);
    device_t device;  // unregistered, never opened
    SANE_Handle handle = &device;
    SANE_Byte data[4];
    SANE_Int length = 77, fd = 55;
    SANE_Parameters params;
    EXPECT_EQ(sane_kelvra_get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_open(nullptr, &handle), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_open("fb-a4", nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_open("FB-A4", &handle), SANE_STATUS_INVAL) << "names match in letter case too";
    EXPECT_EQ(handle, &device);
    EXPECT_EQ(sane_kelvra_get_option_descriptor(nullptr, 0), nullptr);
    EXPECT_EQ(sane_kelvra_get_option_descriptor(&device, 0), nullptr);
    EXPECT_EQ(sane_kelvra_control_option(nullptr, 0, SANE_ACTION_GET_VALUE, &length, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_get_parameters(nullptr, &params), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_get_parameters(&device, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_start(nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(nullptr, data, 4, &length), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(&device, nullptr, 4, &length), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(&device, data, 4, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(length, 77) << "a refused read leaves *length alone";
    EXPECT_EQ(sane_kelvra_get_select_fd(nullptr, &fd), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_get_select_fd(&device, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(fd, 55);
    EXPECT_EQ(sane_kelvra_get_select_fd(&device, &fd), SANE_STATUS_INVAL) << "no page, no descriptor";
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(sane_kelvra_set_io_mode(nullptr, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_kelvra_set_io_mode(&device, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_kelvra_set_io_mode(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_set_io_mode(&device, SANE_FALSE), SANE_STATUS_GOOD);
    sane_kelvra_close(nullptr);
    sane_kelvra_close(&device);  // not registered: not looked into
    sane_kelvra_cancel(nullptr);
    sane_kelvra_exit();
}

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
    kelvra_test::Scenario scenario("", "strict=\"0\"");  // a bare close exchange, without a device opened first
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

// A frontend that blocks SIGINT and SIGTERM, or ignores SIGPIPE and SIGCHLD,
// must not hand that on: the scan-manager starts with an empty mask and every
// signal at its default action, so it can be stopped the usual way.
TEST(IpcConnection, ChildStartsWithAnEmptyMaskAndDefaultActions) {
    kelvra_test::Scenario scenario("", "strict=\"0\"");  // a bare close exchange, without a device opened first
    sigset_t blocked, previous_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_mask);
    struct sigaction ignore {}, previous_pipe{}, previous_child{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous_pipe);
    sigaction(SIGCHLD, &ignore, &previous_child);
    open_exchange_close();
    sigaction(SIGCHLD, &previous_child, nullptr);
    sigaction(SIGPIPE, &previous_pipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    const auto reports = scenario.inherited_signals();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].blocked, 0u) << std::hex << "blocked: " << reports[0].blocked;
    EXPECT_EQ(reports[0].ignored, 0u) << std::hex << "ignored: " << reports[0].ignored;
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
