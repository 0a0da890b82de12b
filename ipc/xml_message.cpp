// Placeholder until this part is written.
#include "ipc/ipc.h"

uint32_t get_int_attribute(xmlNode*, const char*) { return 0; }
std::string get_string_attribute(xmlNode*, const char*) { return {}; }
void set_uint_attribute(xmlNode*, const char*, uint32_t) {}
