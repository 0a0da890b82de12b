#include "simulator/scenario_checks.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace kelvra_sim::scenario_file {

[[noreturn]] void fail(const xmlNode* node, const std::string& message) {
    std::ostringstream text;
    text << "line " << (node != nullptr ? xmlGetLineNo(node) : 0) << ": " << message;
    throw ScenarioError{text.str()};
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

void check_attributes(const xmlNode* node, std::initializer_list<std::string_view> allowed) {
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
        std::string_view name(reinterpret_cast<const char*>(a->name));
        bool known = false;
        for (std::string_view candidate : allowed) known = known || candidate == name;
        if (!known) {
            // Built by appending: GCC 12 at -O3 reports a false -Wrestrict
            // overlap for "literal" + std::string&& here.
            std::string message = "<";
            message += reinterpret_cast<const char*>(node->name);
            message += "> has no attribute \"";
            message += name;
            message += '"';
            fail(node, message);
        }
    }
}

int64_t parse_signed(const xmlNode* node, const char* name, const std::string& text, int64_t low, int64_t high) {
    std::string_view t = trim(text);
    std::string copy(t);
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(copy.c_str(), &end, 10);
    if (copy.empty() || *end != '\0' || errno == ERANGE || value < low || value > high)
        fail(node, std::string("attribute ") + name + "=\"" + text + "\" is not a number from " +
                       std::to_string(low) + " to " + std::to_string(high));
    return value;
}

uint64_t parse_unsigned(const xmlNode* node, const char* name, const std::string& text, uint64_t high) {
    std::string copy(trim(text));
    bool digits_only = !copy.empty();
    for (char c : copy) digits_only = digits_only && c >= '0' && c <= '9';
    errno = 0;
    unsigned long long value = digits_only ? std::strtoull(copy.c_str(), nullptr, 10) : 0;
    if (!digits_only || errno == ERANGE || value > high)
        fail(node, std::string("attribute ") + name + "=\"" + text + "\" is not a number from 0 to " +
                       std::to_string(high));
    return value;
}

void read_string(const xmlNode* node, const char* name, std::string& field) {
    if (auto text = attribute(node, name)) field = *text;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    std::string word;
    while (in >> word) out.push_back(word);
    return out;
}

void read_area(const xmlNode* node, const char* name, AreaLimits& area) {
    auto text = attribute(node, name);
    if (!text) return;
    std::vector<std::string> parts = words(*text);
    if (parts.size() != 4) fail(node, std::string("attribute ") + name + " needs four numbers: minW maxW minH maxH");
    area.min_width = uint32_t(parse_unsigned(node, name, parts[0], UINT32_MAX));
    area.max_width = uint32_t(parse_unsigned(node, name, parts[1], UINT32_MAX));
    area.min_height = uint32_t(parse_unsigned(node, name, parts[2], UINT32_MAX));
    area.max_height = uint32_t(parse_unsigned(node, name, parts[3], UINT32_MAX));
    // The backend's area ranges are differences of these; a minimum above its
    // maximum would wrap them round.
    if (area.min_width > area.max_width || area.min_height > area.max_height)
        fail(node, std::string("attribute ") + name + "=\"" + *text + "\" has a minimum above its maximum");
}

}  // namespace kelvra_sim::scenario_file
