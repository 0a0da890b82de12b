// The demo flavour's connections carry the full 30-second time limits.
#include "ipc/ipc.h"
#include "tests/support/process_state.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

timeval limit_of(int socket, int option) {
    timeval value{-1, -1};
    socklen_t size = sizeof value;
    EXPECT_EQ(getsockopt(socket, SOL_SOCKET, option, &value, &size), 0);
    EXPECT_EQ(size, sizeof value);
    return value;
}

TEST(IpcDemoSocketLimits, SendAndReceiveLimitsAreThirtySeconds) {
    unsetenv("KELVRA_SIM_SCENARIO");
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    ASSERT_NE(ipc, nullptr);

    const timeval send_limit = limit_of(ipc->socket, SO_SNDTIMEO);
    EXPECT_EQ(send_limit.tv_sec, 30);
    EXPECT_EQ(send_limit.tv_usec, 0);
    const timeval receive_limit = limit_of(ipc->socket, SO_RCVTIMEO);
    EXPECT_EQ(receive_limit.tv_sec, 30);
    EXPECT_EQ(receive_limit.tv_usec, 0);

    EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
    EXPECT_EQ(kelvra_test::count_zombie_children(), 0);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

}  // namespace
