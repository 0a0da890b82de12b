// The simulator's log on standard error, or in a log file: 0 only errors and
// warnings (the default), 1 life events and faults, 2 every request and
// reply, 3 payload texts too.
#pragma once

#include <string_view>

namespace kelvra_sim {

void set_log_level(int level);
// Lines go to `fd` (opened for appending) instead of standard error; errors to both.
void set_log_file(int fd);
int log_level();
bool log_enabled(int level);

// printf-style line, prefixed with the program name and pid; nothing is
// printed when `level` is above the current verbosity.
void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A payload text at verbosity 3, cut at a sane length.
void log_text(std::string_view label, std::string_view text);

// Always printed: configuration errors and bad arguments.
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kelvra_sim
