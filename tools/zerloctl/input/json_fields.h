// The fields of a JSON line another program wrote (watch's samples, the fan
// loop's events), each refused with its name when missing or of the wrong
// kind, for a reader that names the line itself.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace zerloctl {

// Each throws std::invalid_argument: "no \"rpm\"", "\"rpm\" is not a count".
const nlohmann::json& JsonField(const nlohmann::json& object, const char* name);
// A count as the driver replies it, 32 bits wide at most: a larger number
// would wrap to a small one ("celsius": 4294967296 to 0).
uint32_t JsonCount(const nlohmann::json& object, const char* name, uint32_t high = UINT32_MAX);
std::string JsonText(const nlohmann::json& object, const char* name);

} // namespace zerloctl
