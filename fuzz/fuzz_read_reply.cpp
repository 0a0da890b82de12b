// Fuzz target: the input is what the scan-manager sends; see run_read_reply.
#include "fuzz/costly_inputs.h"
#include "fuzz/reply_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (kelvra_fuzz::announces_costly_length(data, size, kelvra_fuzz::Frames::kReadReplies)) return -1;
    return kelvra_fuzz::fail_on(kelvra_fuzz::run_read_reply(data, size));
}
