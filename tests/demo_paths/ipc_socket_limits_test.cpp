// The demo flavour's connections carry the full 30-second time limits.
#include "ipc/ipc.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

TEST(IpcDemoSocketLimits, SendAndReceiveLimitsAreThirtySeconds) {
    unsetenv("KELVRA_SIM_SCENARIO");
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    ASSERT_NE(ipc, nullptr);
    for (int option : {SO_SNDTIMEO, SO_RCVTIMEO}) {
        timeval limit{-1, -1};
        socklen_t size = sizeof limit;
        EXPECT_EQ(getsockopt(ipc->socket, SOL_SOCKET, option, &limit, &size), 0);
        EXPECT_EQ(limit.tv_sec, 30) << "option " << option;
        EXPECT_EQ(limit.tv_usec, 0) << "option " << option;
    }
    EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
}

}  // namespace
