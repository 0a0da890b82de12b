#include "simulator/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kelvra_sim {
namespace {

int current_level = 0;

// One write per line, so lines of several simulators on one terminal do not mix.
void emit(const char* format, va_list args) {
    char text[4096];
    int n = std::snprintf(text, sizeof text, "kelvra-sim[%d]: ", int(getpid()));
    if (n < 0) return;
    int m = std::vsnprintf(text + n, sizeof text - size_t(n), format, args);
    if (m < 0) return;
    size_t length = std::min(sizeof text - 2, size_t(n) + size_t(m));
    text[length++] = '\n';
    ssize_t ignored = ::write(STDERR_FILENO, text, length);
    (void)ignored;
}

}  // namespace

void set_log_level(int level) { current_level = level < 0 ? 0 : level; }
int log_level() { return current_level; }
bool log_enabled(int level) { return level <= current_level; }

void log(int level, const char* format, ...) {
    if (!log_enabled(level)) return;
    va_list args;
    va_start(args, format);
    emit(format, args);
    va_end(args);
}

void log_text(std::string_view label, std::string_view text) {
    if (!log_enabled(3)) return;
    constexpr size_t shown = 3000;
    std::string printable;
    for (char c : text.substr(0, shown)) printable += (c == '\n' || c == '\r') ? ' ' : c;
    if (text.size() > shown) printable += "...";
    log(3, "%.*s: %s", int(label.size()), label.data(), printable.c_str());
}

void error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(format, args);
    va_end(args);
}

}  // namespace kelvra_sim
