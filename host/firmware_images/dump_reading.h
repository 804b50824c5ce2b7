// What the readers of dump files share: where in the file a fault is, the
// DumpError that names it, and the fields and checksums of firmware bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zhost::dump {

std::string Hex(uint64_t value, int width = 0);
[[noreturn]] void Fail(const std::string& name, const std::string& where, const std::string& what);
std::string LineRef(size_t line);
std::string OffsetRef(uint64_t offset);
uint32_t Get32(std::span<const uint8_t> bytes, size_t at);
uint8_t Sum(std::span<const uint8_t> bytes);

} // namespace zhost::dump
