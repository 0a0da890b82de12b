// The exported diagnostic kit. None of the backend's own operations calls it.
#pragma once

#include <sane/sane.h>
#include <libxml/tree.h>

#include <string>
#include <vector>

#define KELVRA_EXPORT __attribute__((visibility("default")))

extern "C" {
KELVRA_EXPORT void debug(const char* category, const char* function, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
KELVRA_EXPORT const char* get_status_string(SANE_Status status);
KELVRA_EXPORT void debug_option(const SANE_Option_Descriptor* option);
KELVRA_EXPORT void debug_option_value(void);
KELVRA_EXPORT void debug_parameters(void);
KELVRA_EXPORT void xml_debug(xmlDoc* doc);
}

KELVRA_EXPORT __attribute__((weak)) std::vector<std::string> split_string(const std::string& text,
                                                                          const std::string& delimiters);
