// Checked reading of the scenario file's attributes: an unknown attribute, a
// number out of its range or a malformed list is an error that names the
// element's line, so that a mistake in a scenario never passes unnoticed.
#pragma once

#include "simulator/devices.h"
#include "simulator/xml_util.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_sim::scenario_file {

// A configuration mistake, with the element's line for the message.
struct ScenarioError {
    std::string message;
};

[[noreturn]] void fail(const xmlNode* node, const std::string& message);

std::string_view trim(std::string_view text);

// Only the listed attributes are allowed: a misspelt one would otherwise be
// ignored silently and the fault it meant would never happen.
void check_attributes(const xmlNode* node, std::initializer_list<std::string_view> allowed);

int64_t parse_signed(const xmlNode* node, const char* name, const std::string& text, int64_t low, int64_t high);
uint64_t parse_unsigned(const xmlNode* node, const char* name, const std::string& text, uint64_t high);

template <typename T>
void read_unsigned(const xmlNode* node, const char* name, T& field, uint64_t high = UINT32_MAX) {
    if (auto text = attribute(node, name)) field = T(parse_unsigned(node, name, *text, high));
}

template <typename T>
void read_optional(const xmlNode* node, const char* name, std::optional<T>& field, uint64_t high) {
    if (auto text = attribute(node, name)) field = T(parse_unsigned(node, name, *text, high));
}

void read_string(const xmlNode* node, const char* name, std::string& field);

// The words of a white-space separated list.
std::vector<std::string> words(std::string_view text);

// "minW maxW minH maxH", when the attribute is there.
void read_area(const xmlNode* node, const char* name, AreaLimits& area);

}  // namespace kelvra_sim::scenario_file
