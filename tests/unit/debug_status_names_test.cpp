// The names of SANE status codes.
#include <gtest/gtest.h>

#include "debug/diagnostics.h"

namespace {

TEST(StatusName, NamesEveryCodeAndUnknownForOthers) {
    const char* const names[] = {
        "SANE_STATUS_GOOD",     "SANE_STATUS_UNSUPPORTED", "SANE_STATUS_CANCELLED", "SANE_STATUS_DEVICE_BUSY",
        "SANE_STATUS_INVAL",    "SANE_STATUS_EOF",         "SANE_STATUS_JAMMED",    "SANE_STATUS_NO_DOCS",
        "SANE_STATUS_COVER_OPEN", "SANE_STATUS_IO_ERROR",  "SANE_STATUS_NO_MEM",    "SANE_STATUS_ACCESS_DENIED",
    };
    for (int code = 0; code < 12; ++code) {
        EXPECT_STREQ(get_status_string(static_cast<SANE_Status>(code)), names[code]) << code;
    }
    for (int code : {12, -1, 1000}) {
        EXPECT_STREQ(get_status_string(static_cast<SANE_Status>(code)), "unknown") << code;
    }
}

}  // namespace
