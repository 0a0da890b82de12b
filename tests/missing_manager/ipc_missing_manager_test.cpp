// A scan-manager program that is not installed: open fails cleanly, and the
// child that could not run it is reaped.
#include <gtest/gtest.h>

#include "tests/support/frontend.h"
#include "tests/support/process_state.h"

TEST(MissingManager, OpenFailsAndTheChildIsReaped) {
    const auto before = kelvra_test::ProcessSnapshot::take();
    SANE_Handle handle = nullptr;
    EXPECT_EQ(sane_kelvra_open("fb-a4", &handle), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}
