// The simulator's transcript read back: JSON Lines, one record a line.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace kelvra_test {

// Every record of the file, in order; throws on a line that is not one JSON object.
std::vector<nlohmann::json> read_transcript(const std::string& path);

// A frame record's payload bytes: its "text", or its "base64" decoded; empty otherwise.
std::string frame_payload(const nlohmann::json& frame);

}  // namespace kelvra_test
