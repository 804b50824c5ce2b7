// Requests over a transport, sized by the driver's own request table, and
// the reply layouts.
#pragma once

#include "requests/transport.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zerloctl {

std::string HexBytes(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ParseHexBytes(const std::string& text); // throws std::invalid_argument
// The 32-bit little-endian value at `at`; throws std::runtime_error past the end.
uint32_t ReplyWord(const std::vector<uint8_t>& bytes, size_t at);

// One request of the table: the two argument words when the code takes
// input, and an output of the code's reply length.
Reply Request(Transport& transport, uint32_t code, uint16_t word0 = 0, uint16_t word1 = 0);

struct ValueResult {
    std::optional<uint32_t> refused; // the status, when not success
    uint32_t value = 0;              // valid when not refused
};

ValueResult RequestValue(Transport& transport, uint32_t code, uint16_t word0 = 0, uint16_t word1 = 0);
// A text reply up to its first NUL; throws std::runtime_error without one.
std::string ReplyText(const Reply& reply);

} // namespace zerloctl
