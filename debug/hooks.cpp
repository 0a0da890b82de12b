// Diagnostic hooks kept for code that loads the library; they print nothing.
#include "debug/diagnostics.h"

void debug_option(const SANE_Option_Descriptor* /*option*/) {}

void debug_option_value(void) {}

void debug_parameters(void) {}

void xml_debug(xmlDoc* /*doc*/) {}
