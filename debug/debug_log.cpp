// Placeholder until this part is written.
#include "debug/diagnostics.h"

void debug(const char*, const char*, const char*, ...) {}
std::vector<std::string> split_string(const std::string&, const std::string&) { return {}; }
