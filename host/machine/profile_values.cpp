#include "profile_values.h"

#include <stdexcept>

namespace zhost {

void RequireKnownKeys(const nlohmann::json& object, const std::string& where, const std::set<std::string>& known)
{
    if (!object.is_object()) {
        throw std::invalid_argument(where + ": expected an object");
    }
    for (const auto& [key, value] : object.items()) {
        if (!known.contains(key)) {
            throw std::invalid_argument(where + ": unknown key '" + key + "'");
        }
    }
}

uint64_t ParseUnsigned(const nlohmann::json& value, const std::string& where, unsigned bits)
{
    const uint64_t limit = bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    if (value.is_number_integer() && value.get<int64_t>() >= 0 && value.get<uint64_t>() <= limit) {
        return value.get<uint64_t>();
    }
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        size_t used = 0;
        unsigned long long parsed = 0;
        try {
            parsed = std::stoull(text, &used, 0);
        } catch (const std::exception&) {
            used = 0;
        }
        if (!text.empty() && text[0] != '-' && used == text.size() && parsed <= limit) {
            return parsed;
        }
    }
    throw std::invalid_argument(where + ": expected an unsigned " + std::to_string(bits) + "-bit number");
}

std::vector<uint8_t> ParseHex(const std::string& text, const std::string& where)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\n') continue;
        int nibble;
        if (c >= '0' && c <= '9')
            nibble = c - '0';
        else if (c >= 'a' && c <= 'f')
            nibble = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            nibble = c - 'A' + 10;
        else
            throw std::invalid_argument(where + ": not a hex digit: '" + std::string(1, c) + "'");
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument(where + ": odd number of hex digits");
    return bytes;
}

} // namespace zhost
