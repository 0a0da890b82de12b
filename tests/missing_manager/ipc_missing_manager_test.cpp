// A scan-manager program that does not exist: the start fails cleanly and the
// child that could not run it is reaped.
#include "ipc/ipc.h"
#include "tests/support/process_state.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(IpcMissingManager, OpenFailsWithTheRecordHandedBackAndCloseReapsTheChild) {
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_IO_ERROR);
    ASSERT_NE(ipc, nullptr);
    const int pid = ipc->pid;
    EXPECT_GT(pid, 0) << "the child was started and its pid kept";
    EXPECT_EQ(ipc->port, -1);
    EXPECT_EQ(ipc->socket, -1);

    EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
    auto children = kelvra_test::child_processes();
    EXPECT_EQ(std::count(children.begin(), children.end(), pid), 0) << "the child is reaped by ipc_close";
    EXPECT_EQ(kelvra_test::count_zombie_children(), 0);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

}  // namespace
