#include "dump_reading.h"

#include "dump_import.h"

#include <cstdio>

namespace zhost::dump {

std::string Hex(uint64_t value, int width)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

[[noreturn]] void Fail(const std::string& name, const std::string& where, const std::string& what)
{
    throw DumpError(name + ": " + where + ": " + what);
}

std::string LineRef(size_t line)
{
    return "line " + std::to_string(line);
}
std::string OffsetRef(uint64_t offset)
{
    return "offset " + Hex(offset);
}

uint32_t Get32(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

uint8_t Sum(std::span<const uint8_t> bytes)
{
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    return sum;
}

} // namespace zhost::dump
