#include "platform/build_paths.h"

namespace kelvra {

const char* const kScanManagerPath = KELVRA_SCAN_MANAGER_PATH;
const char* const kConfigPath = KELVRA_CONFIG_PATH;
const int kSocketTimeoutSeconds = KELVRA_SOCKET_TIMEOUT;
const int kChildGraceMilliseconds = KELVRA_CHILD_GRACE_MS;

}  // namespace kelvra
