// The memory manager's part of the host kernel: MmMapIoSpace's mappings of
// the simulated machine's physical memory, and the I/O manager's pool for
// system buffers. Both live in fixed ranges below 4 GiB, so that addresses
// depend only on the sequence of calls and are the same for a native image
// and for zerlo.sys on the emulated processor. Guarded by the kernel's lock.
#pragma once

#include "../machine/machine.h"
#include "virtual_arena.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zhost {

struct Mapping {
    uintptr_t blockStart; // first page
    size_t pages;
    uint32_t physical;
    uint32_t length;
    uintptr_t address() const { return blockStart + physical % VirtualArena::kPageSize; }
    bool operator==(const Mapping&) const = default;
};

// A system buffer: it ends against a guard page, so that a write past it
// faults even without ASan.
struct PoolBlock {
    uint8_t* buffer = nullptr;
    size_t size = 0;
    uintptr_t blockStart = 0;
    size_t pages = 0;
};

class MemoryManager {
  public:
    static constexpr uintptr_t kMappingArenaBase = 0x20000000;
    static constexpr size_t kMappingArenaSize = 0x40000000;
    static constexpr uintptr_t kPoolArenaBase = 0x60000000; // ASan shadow memory starts at 0x7fff8000
    static constexpr size_t kPoolArenaSize = 0x10000000;

    explicit MemoryManager(Machine& machine) : machine_(machine) {}

    // The mapping made, or null for a range the machine cannot map; `entry`
    // receives the journal line.
    const Mapping* map(uint64_t physical, uint64_t length, bool fail, std::string* entry);
    // The mapping that starts at `address`, if any.
    const Mapping* find(uintptr_t address) const;
    // Forgets the mapping that find() gave for `address`; `entry` receives
    // the journal line.
    Mapping take(uintptr_t address, std::string* entry);
    void release(const Mapping& mapping);

    PoolBlock allocatePool(size_t size);
    void releasePool(const PoolBlock& block);

    const std::map<uintptr_t, Mapping>& mappings() const { return mappings_; }
    uint64_t nextCall() { return ++mapCalls_; }
    uint64_t mapCalls() const { return mapCalls_; }
    uint64_t bytesMapped() const { return bytesMapped_; }

    // Both arenas and every live mapping with its bytes, for a kernel's
    // snapshot; taken between requests, when no system buffer is out.
    struct State {
        VirtualArena::Layout mappingArena;
        VirtualArena::Layout poolArena;
        std::map<uintptr_t, Mapping> mappings;
        std::map<uintptr_t, std::vector<uint8_t>> mappedBytes; // by block start, whole pages
        uint64_t mapCalls = 0;
        uint64_t bytesMapped = 0;
        bool operator==(const State&) const = default;
    };
    State state() const;
    void restore(const State& state);
    // Reads every live mapping again from physical memory, as if the
    // machine had held its present bytes when the mapping was made.
    void reread();

  private:
    Machine& machine_;
    VirtualArena mappingArena_{kMappingArenaBase, kMappingArenaSize};
    VirtualArena poolArena_{kPoolArenaBase, kPoolArenaSize};
    std::map<uintptr_t, Mapping> mappings_; // keyed by the address handed out
    uint64_t mapCalls_ = 0;
    uint64_t bytesMapped_ = 0;
};

} // namespace zhost
