// The driver's memory as the emulated kernel reaches it for a service:
// every read and write is checked against what the driver was given, as the
// driver's own instructions are, so a service cannot do for the driver what
// the driver could not do itself.
#pragma once

#include "../virtual_arena.h"

#include <cstdint>
#include <string>

namespace zhost::i386 {

constexpr uint32_t kPage = VirtualArena::kPageSize;

inline uint32_t PageAlign(uint32_t bytes)
{
    return (bytes + kPage - 1) & ~(kPage - 1);
}

// An address as the run's messages name it.
std::string Hex(uint32_t value);

// Whether [address, address + length) lies inside [start, start + size).
bool Inside(uint32_t address, uint32_t length, uint64_t start, uint64_t size);

} // namespace zhost::i386
