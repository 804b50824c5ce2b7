#include "requests.h"

#include "frame/zerlo_ioctl.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace zerloctl {

const char* StatusName(uint32_t status)
{
    switch (status) {
    case 0x00000000u: return "STATUS_SUCCESS";
    case 0xC0000001u: return "STATUS_UNSUCCESSFUL";
    case 0xC0000002u: return "STATUS_NOT_IMPLEMENTED";
    case 0xC000000Du: return "STATUS_INVALID_PARAMETER";
    case 0xC0000010u: return "STATUS_INVALID_DEVICE_REQUEST";
    case 0xC0000022u: return "STATUS_ACCESS_DENIED";
    case 0xC0000023u: return "STATUS_BUFFER_TOO_SMALL";
    case 0xC00000BBu: return "STATUS_NOT_SUPPORTED";
    default: return nullptr;
    }
}

std::string DescribeStatus(uint32_t status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    const char* name = StatusName(status);
    return name ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<uint8_t> ParseHexBytes(const std::string& text)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw std::invalid_argument("not a hex digit in '" + text + "'");
        digits += c;
    }
    if (digits.size() % 2) throw std::invalid_argument("odd number of hex digits in '" + text + "'");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

ValueResult RequestValue(Transport& transport, uint32_t code, uint16_t word0, uint16_t word1)
{
    const ZerloRequestInfo* info = ZerloFindRequest(code);
    std::vector<uint8_t> input;
    if (info && info->minimumInput > 0) {
        input = {static_cast<uint8_t>(word0), static_cast<uint8_t>(word0 >> 8), static_cast<uint8_t>(word1),
                 static_cast<uint8_t>(word1 >> 8)};
    }
    const Reply reply = transport.ioctl(code, input, 4);
    ValueResult result;
    if (reply.status != ZERLO_STATUS_SUCCESS) {
        result.refused = Refusal{reply.status};
        return result;
    }
    if (reply.bytes.size() < 4)
        throw std::runtime_error("driver returned " + std::to_string(reply.bytes.size()) + " bytes, expected 4");
    result.value = uint32_t{reply.bytes[0]} | uint32_t{reply.bytes[1]} << 8 | uint32_t{reply.bytes[2]} << 16 |
                   uint32_t{reply.bytes[3]} << 24;
    return result;
}

TextResult RequestText(Transport& transport, uint32_t code, uint32_t size)
{
    const Reply reply = transport.ioctl(code, {}, size);
    TextResult result;
    result.information = reply.information;
    if (reply.status != ZERLO_STATUS_SUCCESS) {
        result.refused = Refusal{reply.status};
        return result;
    }
    const auto end = std::find(reply.bytes.begin(), reply.bytes.end(), uint8_t{0});
    if (end == reply.bytes.end()) throw std::runtime_error("driver returned a text without its terminator");
    result.text.assign(reply.bytes.begin(), end);
    return result;
}

} // namespace zerloctl
