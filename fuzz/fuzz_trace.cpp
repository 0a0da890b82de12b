// Fuzz target: the input is a trace file of the backend, as a user sends it
// with a bug report and kelvra-sim reads it to replay it.
#include "fuzz/reply_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kelvra_fuzz::fail_on(kelvra_fuzz::run_trace(data, size));
}
