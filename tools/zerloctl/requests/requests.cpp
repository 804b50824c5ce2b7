#include "requests/requests.h"

#include "frame/zerlo_ioctl.h"
#include "requests/status_names.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace zerloctl {

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

uint32_t ReplyWord(const std::vector<uint8_t>& bytes, size_t at)
{
    if (bytes.size() < at + 4)
        throw std::runtime_error("driver returned " + std::to_string(bytes.size()) + " bytes, expected " +
                                 std::to_string(at + 4));
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

Reply Request(Transport& transport, uint32_t code, uint16_t word0, uint16_t word1)
{
    const ZerloRequestInfo* info = ZerloFindRequest(code);
    if (!info) throw std::logic_error("not a request of the driver's table");
    std::vector<uint8_t> input;
    if (info->minimumInput > 0) {
        input = {static_cast<uint8_t>(word0), static_cast<uint8_t>(word0 >> 8), static_cast<uint8_t>(word1),
                 static_cast<uint8_t>(word1 >> 8)};
    }
    return transport.ioctl(code, input, info->minimumOutput);
}

ValueResult RequestValue(Transport& transport, uint32_t code, uint16_t word0, uint16_t word1)
{
    const Reply reply = Request(transport, code, word0, word1);
    ValueResult result;
    if (reply.status != Status("STATUS_SUCCESS"))
        result.refused = reply.status;
    else
        result.value = ReplyWord(reply.bytes, 0);
    return result;
}

std::string ReplyText(const Reply& reply)
{
    const auto end = std::find(reply.bytes.begin(), reply.bytes.end(), uint8_t{0});
    if (end == reply.bytes.end()) throw std::runtime_error("driver returned a text without its terminator");
    return std::string(reply.bytes.begin(), end);
}

} // namespace zerloctl
