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

    // A byte that changes behind its reader (device registers behind a
    // table pointer, memory being written): the first read that covers it
    // sees the byte placed there, every later read sees `later`. The memory
    // manager reads a range when it maps it, so a second mapping of the same
    // range sees the change, as a driver's second read of the field would.
    void makeVolatile(uint32_t address, uint8_t later);

    // Ranges that hold anything, in address order (for dumps of the machine).
    std::vector<std::pair<uint32_t, uint32_t>> populatedRanges() const;

  private:
    using Page = std::array<uint8_t, kPageSize>;
    struct VolatileByte {
        uint8_t later;
        bool read = false;
        bool operator==(const VolatileByte&) const = default;
    };

  public:
    // Everything the memory holds, for a machine's snapshot.
    struct State {
        std::map<uint32_t, Page> pages;
        std::map<uint32_t, VolatileByte> volatileBytes;
        bool operator==(const State&) const = default;
    };
    State state() const;
    void restore(const State& state);

  private:
    std::map<uint32_t, std::unique_ptr<Page>> pages_;   // keyed by page number
    mutable std::map<uint32_t, VolatileByte> volatile_; // changed by reads
};

} // namespace zhost
