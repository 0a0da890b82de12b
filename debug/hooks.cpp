// Placeholder until this part is written.
#include "debug/diagnostics.h"

void debug_option(const SANE_Option_Descriptor*) {}
void debug_option_value(void) {}
void debug_parameters(void) {}
void xml_debug(xmlDoc*) {}
