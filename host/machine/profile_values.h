// Value forms shared by the profile sections: addresses and numbers as JSON
// numbers or "0x..." texts, byte strings as hex texts.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace zhost {

// Profiles are strict: a key that nothing reads is a mistake in the profile.
void RequireKnownKeys(const nlohmann::json& object, const std::string& where, const std::set<std::string>& known);

// An unsigned number of at most `bits` bits, given as a JSON number or as a
// text that std::stoull reads whole (decimal, 0x hex or 0 octal).
uint64_t ParseUnsigned(const nlohmann::json& value, const std::string& where, unsigned bits);

inline uint32_t ParseAddress(const nlohmann::json& value, const std::string& where)
{
    return static_cast<uint32_t>(ParseUnsigned(value, where, 32));
}

// Hex digits, spaces and newlines ignored.
std::vector<uint8_t> ParseHex(const std::string& text, const std::string& where);

} // namespace zhost
