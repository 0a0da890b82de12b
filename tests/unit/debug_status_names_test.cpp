// The names of SANE status codes.
#include <gtest/gtest.h>

#include <cstring>

#include "debug/diagnostics.h"

namespace {

struct StatusCase {
    int code;
    const char* name;
};

class StatusName : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusName, NamesTheCode) {
    const StatusCase& c = GetParam();
    const char* name = get_status_string(static_cast<SANE_Status>(c.code));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, c.name);
}

const StatusCase kStatusCases[] = {
    {0, "SANE_STATUS_GOOD"},
    {1, "SANE_STATUS_UNSUPPORTED"},
    {2, "SANE_STATUS_CANCELLED"},
    {3, "SANE_STATUS_DEVICE_BUSY"},
    {4, "SANE_STATUS_INVAL"},
    {5, "SANE_STATUS_EOF"},
    {6, "SANE_STATUS_JAMMED"},
    {7, "SANE_STATUS_NO_DOCS"},
    {8, "SANE_STATUS_COVER_OPEN"},
    {9, "SANE_STATUS_IO_ERROR"},
    {10, "SANE_STATUS_NO_MEM"},
    {11, "SANE_STATUS_ACCESS_DENIED"},
    {12, "unknown"},
    {13, "unknown"},
    {-1, "unknown"},
    {1000, "unknown"},
};

INSTANTIATE_TEST_SUITE_P(Codes, StatusName, ::testing::ValuesIn(kStatusCases), [](const auto& info) {
    const int code = info.param.code;
    return code < 0 ? "minus_" + std::to_string(-code) : "code_" + std::to_string(code);
});

TEST(StatusNameStorage, IsTheSameStaticTextOnEveryCall) {
    // The names are static strings: the caller never frees them, and a
    // second call gives the very same pointer.
    EXPECT_EQ(get_status_string(SANE_STATUS_EOF), get_status_string(SANE_STATUS_EOF));
}

}  // namespace
