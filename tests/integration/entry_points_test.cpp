// The argument checks of the entry points: a refused call touches no output.
// (The installation test checks what the built library exports.)
#include <gtest/gtest.h>

#include "backend/backend.h"
#include "tests/support/entry_points.h"

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

}  // namespace
