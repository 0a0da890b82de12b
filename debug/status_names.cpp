// Names of the SANE status codes, for diagnostics.
#include "debug/diagnostics.h"

namespace {

struct StatusName {
    int code;
    const char* name;  // null in the end row
};

const StatusName kStatusNames[] = {
    {SANE_STATUS_GOOD, "SANE_STATUS_GOOD"},
    {SANE_STATUS_UNSUPPORTED, "SANE_STATUS_UNSUPPORTED"},
    {SANE_STATUS_CANCELLED, "SANE_STATUS_CANCELLED"},
    {SANE_STATUS_DEVICE_BUSY, "SANE_STATUS_DEVICE_BUSY"},
    {SANE_STATUS_INVAL, "SANE_STATUS_INVAL"},
    {SANE_STATUS_EOF, "SANE_STATUS_EOF"},
    {SANE_STATUS_JAMMED, "SANE_STATUS_JAMMED"},
    {SANE_STATUS_NO_DOCS, "SANE_STATUS_NO_DOCS"},
    {SANE_STATUS_COVER_OPEN, "SANE_STATUS_COVER_OPEN"},
    {SANE_STATUS_IO_ERROR, "SANE_STATUS_IO_ERROR"},
    {SANE_STATUS_NO_MEM, "SANE_STATUS_NO_MEM"},
    {SANE_STATUS_ACCESS_DENIED, "SANE_STATUS_ACCESS_DENIED"},
    {0, nullptr},
};

}  // namespace

const char* get_status_string(SANE_Status status) {
    // Compared as int: a caller may pass a code outside the enumeration.
    const int code = static_cast<int>(status);
    for (const StatusName* row = kStatusNames; row->name != nullptr; ++row) {
        if (row->code == code) return row->name;
    }
    return "unknown";
}
