// Typed requests over a transport, with the driver's reply layouts.
#pragma once

#include "transport.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zerloctl {

const char* StatusName(uint32_t status); // "STATUS_..." or null when unknown
std::string DescribeStatus(uint32_t status);
std::string HexBytes(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ParseHexBytes(const std::string& text); // throws std::invalid_argument

// A request the driver refused (a status other than success).
struct Refusal {
    uint32_t status;
};

struct ValueResult {
    std::optional<Refusal> refused;
    uint32_t value = 0; // valid when not refused
};

struct TextResult {
    std::optional<Refusal> refused;
    std::string text; // up to the first NUL
    uint32_t information = 0;
};

ValueResult RequestValue(Transport& transport, uint32_t code, uint16_t word0 = 0, uint16_t word1 = 0);
TextResult RequestText(Transport& transport, uint32_t code, uint32_t size);

} // namespace zerloctl
