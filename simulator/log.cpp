#include "simulator/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kelvra_sim {
namespace {

int current_level = 0;
int log_file = -1;

// One write per line, so lines of several simulators on one terminal or in
// one file do not mix. Errors go to standard error also when there is a log
// file, where the process that started the simulator looks first.
void emit(bool is_error, const char* format, va_list args) {
    char text[4096];
    int n = std::snprintf(text, sizeof text, "kelvra-sim[%d]: ", int(getpid()));
    if (n < 0) return;
    int m = std::vsnprintf(text + n, sizeof text - size_t(n), format, args);
    if (m < 0) return;
    size_t length = std::min(sizeof text - 2, size_t(n) + size_t(m));
    text[length++] = '\n';
    for (int fd : {log_file, log_file < 0 || is_error ? STDERR_FILENO : -1}) {
        if (fd < 0) continue;
        ssize_t ignored = ::write(fd, text, length);
        (void)ignored;
    }
}

}  // namespace

void set_log_file(int fd) { log_file = fd; }

void set_log_level(int level) { current_level = level < 0 ? 0 : level; }
int log_level() { return current_level; }
bool log_enabled(int level) { return level <= current_level; }

void log(int level, const char* format, ...) {
    if (!log_enabled(level)) return;
    va_list args;
    va_start(args, format);
    emit(false, format, args);
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
    emit(true, format, args);
    va_end(args);
}

}  // namespace kelvra_sim
