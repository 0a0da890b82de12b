// The exported diagnostic print and the tokenizer it builds its drop lists with.
#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "debug/diagnostics.h"

namespace {

// The library's only lock: it serialises building the drop lists, the
// look-ups and the print with its flush, so messages never interleave.
pthread_mutex_t g_debug_lock = PTHREAD_MUTEX_INITIALIZER;

// Categories and operations whose messages are too chatty to be useful.
// Built once, under the lock, by the first call of debug; released by the
// exit-time destruction of statics.
bool g_drop_lists_built = false;
std::vector<std::string> g_dropped_categories;
std::vector<std::string> g_dropped_functions;

constexpr const char* kDelimiters = ", \n\t";

// A null name cannot be compared with the lists: it matches no entry, so
// its message is printed.
bool listed(const std::vector<std::string>& list, const char* name) {
    if (list.empty() || name == nullptr) return false;
    for (const std::string& entry : list) {
        if (entry == name) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> split_string(const std::string& text, const std::string& delimiters) {
    std::vector<std::string> tokens;
    std::string::size_type position = 0;
    for (;;) {
        std::string::size_type separator = text.find_first_of(delimiters, position);
        if (separator == std::string::npos) break;
        if (separator == position) {
            // Leading separators and runs of them give no empty tokens.
            ++position;
            continue;
        }
        tokens.push_back(text.substr(position, separator - position));
        position = separator;
    }
    if (position < text.size()) tokens.push_back(text.substr(position));
    return tokens;
}

void debug(const char* category, const char* function, const char* format, ...) {
    pthread_mutex_lock(&g_debug_lock);
    if (!g_drop_lists_built) {
        g_dropped_categories = split_string("command, options, debug, ipc", kDelimiters);
        g_dropped_functions = split_string(
            "\tread_image,\tsane_kelvra_get_option_descriptor,\tget_device_option,"
            "\tsane_kelvra_control_option,\tcontrol_device_option,",
            kDelimiters);
        g_drop_lists_built = true;
    }
    if (listed(g_dropped_categories, category) || listed(g_dropped_functions, function)) {
        pthread_mutex_unlock(&g_debug_lock);
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stderr);
    pthread_mutex_unlock(&g_debug_lock);
}
