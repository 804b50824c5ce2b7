// Replies compared across runs whose mapping history differs (other callers,
// an injected fault, thousands of earlier surveys): virtual addresses in a
// survey depend on every mapping made and released before it, so even two
// surveys in a row alone print different ones. What does not depend on the
// history is which printed addresses are the same mapping, so each distinct
// address becomes its number in order of appearance. Within one survey no
// address is reused (released blocks wait in the arena's quarantine far
// longer than a survey), so this keeps every relation the text states.
#pragma once

#include "driver_fixture.h"

#include <map>
#include <regex>
#include <string>

namespace ztest {

inline std::string NormaliseAddresses(const std::string& text)
{
    static const std::regex address("VA 0x[0-9a-f]{8}");
    std::map<std::string, int> numbers;
    std::string out;
    size_t copied = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), address); it != std::sregex_iterator(); ++it) {
        out += text.substr(copied, static_cast<size_t>(it->position()) - copied);
        const auto entry = numbers.emplace(it->str(), static_cast<int>(numbers.size()) + 1).first;
        out += "VA #" + std::to_string(entry->second);
        copied = static_cast<size_t>(it->position() + it->length());
    }
    return out + text.substr(copied);
}

inline bool IsTextRequest(uint32_t code)
{
    return code == IOCTL_GET_CPU_SPEED || code == IOCTL_GET_SMBIOS_REPORT || code == IOCTL_GET_ACPI_REPORT;
}

// The answer as compared: status, returned length and the reply; a text up
// to its NUL with addresses normalised (Text checks that the bytes past the
// NUL are zeros).
inline std::string Answer(uint32_t code, const zhost::IoctlOutcome& outcome)
{
    std::string reply(outcome.reply.begin(), outcome.reply.end());
    if (IsTextRequest(code) && outcome.status == STATUS_SUCCESS) {
        reply = NormaliseAddresses(Text(outcome.reply));
    }
    return std::to_string(outcome.status) + "/" + std::to_string(outcome.information) + "/" + reply;
}

} // namespace ztest
