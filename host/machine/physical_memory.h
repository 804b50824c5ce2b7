// The simulated notebook's physical address space: 4 GiB, sparse, zero
// where nothing was placed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace zhost {

class PhysicalMemory {
  public:
    static constexpr uint32_t kPageSize = 4096;

    void write(uint32_t address, std::span<const uint8_t> bytes);
    void read(uint32_t address, std::span<uint8_t> out) const;
    std::vector<uint8_t> read(uint32_t address, uint32_t length) const;
    uint8_t byte(uint32_t address) const;

    // Ranges that hold anything, in address order (for dumps of the machine).
    std::vector<std::pair<uint32_t, uint32_t>> populatedRanges() const;

  private:
    using Page = std::array<uint8_t, kPageSize>;
    std::map<uint32_t, std::unique_ptr<Page>> pages_; // keyed by page number
};

} // namespace zhost
