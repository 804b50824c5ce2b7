// The firmware fuzzer's input: physical memory as regions of bytes. Each
// region is a 32-bit little-endian physical address, a 16-bit length and
// that many bytes; the seed generator writes this layout from the test
// profiles' memory and the fuzzer reads it back, so mutations of a seed are
// mutations of a real firmware image.
#pragma once

#include "fuzz_input.h"

#include <cstdint>
#include <vector>

namespace zfuzz {

// Bounds per input, so that a large input cannot make one run slow: enough
// for the BIOS window, the EBDA and the tables of every test profile.
constexpr size_t kMaxRegions = 64;
constexpr uint32_t kMaxRegionLength = 0x4000;

struct Region {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

inline std::vector<Region> ReadRegions(FuzzInput& in)
{
    std::vector<Region> regions;
    while (in.remaining() >= 6 && regions.size() < kMaxRegions) {
        Region region;
        region.address = in.dword();
        const uint32_t length = in.word() % (kMaxRegionLength + 1);
        region.bytes = in.bytes(length);
        regions.push_back(std::move(region));
    }
    return regions;
}

inline void AppendRegion(std::vector<uint8_t>& out, uint32_t address, const uint8_t* bytes, uint16_t length)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(address >> (8 * i)));
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.insert(out.end(), bytes, bytes + length);
}

} // namespace zfuzz
