// Placeholder until this part is written.
#include "debug/diagnostics.h"

const char* get_status_string(SANE_Status) { return "unknown"; }
