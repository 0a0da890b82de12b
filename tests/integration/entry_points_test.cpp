// The argument checks of the entry points, against the real library code.
#include <gtest/gtest.h>

#include "backend/backend.h"
#include "tests/support/entry_points.h"

namespace {

TEST(EntryPoints, InitChecksItsPointerAndReturnsTheVersionCode) {
    EXPECT_EQ(sane_kelvra_init(nullptr, nullptr), SANE_STATUS_INVAL);
    SANE_Int version = 0;
    EXPECT_EQ(sane_kelvra_init(&version, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(version, 0x01000000);
}

TEST(EntryPoints, NullArgumentsAreRefusedWithoutTouchingOutputs) {
    SANE_Handle handle = reinterpret_cast<SANE_Handle>(0x1234);
    EXPECT_EQ(sane_kelvra_open(nullptr, &handle), SANE_STATUS_INVAL);
    EXPECT_EQ(handle, reinterpret_cast<SANE_Handle>(0x1234));
    EXPECT_EQ(sane_kelvra_open("fb-a4", nullptr), SANE_STATUS_INVAL);

    EXPECT_EQ(sane_kelvra_get_option_descriptor(nullptr, 0), nullptr);
    SANE_Int value = 0;
    EXPECT_EQ(sane_kelvra_control_option(nullptr, 0, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_INVAL);
    SANE_Parameters params;
    EXPECT_EQ(sane_kelvra_get_parameters(nullptr, &params), SANE_STATUS_INVAL);
    device_t device;
    EXPECT_EQ(sane_kelvra_get_parameters(&device, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_start(nullptr), SANE_STATUS_INVAL);

    SANE_Byte data[4];
    SANE_Int length = 77;
    EXPECT_EQ(sane_kelvra_read(nullptr, data, 4, &length), SANE_STATUS_INVAL);
    EXPECT_EQ(length, 77) << "a refused read leaves *length alone";
    EXPECT_EQ(sane_kelvra_read(&device, nullptr, 4, &length), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(&device, data, 4, nullptr), SANE_STATUS_INVAL);

    sane_kelvra_close(nullptr);
    sane_kelvra_cancel(nullptr);

    SANE_Int fd = 55;
    EXPECT_EQ(sane_kelvra_get_select_fd(nullptr, &fd), SANE_STATUS_INVAL);
    EXPECT_EQ(fd, 55);
    EXPECT_EQ(sane_kelvra_get_select_fd(&device, nullptr), SANE_STATUS_INVAL);
}

TEST(EntryPoints, SetIoModeAnswersFromItsArgumentsAlone) {
    device_t device;
    EXPECT_EQ(sane_kelvra_set_io_mode(nullptr, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_kelvra_set_io_mode(&device, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_kelvra_set_io_mode(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_set_io_mode(&device, SANE_FALSE), SANE_STATUS_GOOD);
}

TEST(EntryPoints, FailedOpenLeavesTheHandleAndAFreshHandleHasNoSelectFd) {
    SANE_Handle handle = reinterpret_cast<SANE_Handle>(0x1234);
    EXPECT_EQ(sane_kelvra_open("FB-A4", &handle), SANE_STATUS_INVAL) << "names match in letter case too";
    EXPECT_EQ(handle, reinterpret_cast<SANE_Handle>(0x1234));
    ASSERT_EQ(sane_kelvra_open("fb-a4", &handle), SANE_STATUS_GOOD);
    SANE_Int fd = 55;
    EXPECT_EQ(sane_kelvra_get_select_fd(handle, &fd), SANE_STATUS_INVAL);
    EXPECT_EQ(fd, -1);
    sane_kelvra_close(handle);
    sane_kelvra_exit();
}

}  // namespace
