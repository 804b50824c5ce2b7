#include "memory_manager.h"

#include "asan.h"
#include "bug_check.h"

#include <cstdio>
#include <functional>
#include <sys/mman.h>

namespace zhost {

namespace {

constexpr size_t kPage = VirtualArena::kPageSize;

size_t PagesFor(uintptr_t offsetInPage, size_t length)
{
    return (offsetInPage + length + kPage - 1) / kPage;
}

} // namespace

const Mapping* MemoryManager::map(uint64_t physical, uint64_t length, bool fail, std::string* entry)
{
    char text[96];
    std::snprintf(text, sizeof text, "MmMapIoSpace 0x%08x %llu", static_cast<unsigned>(physical),
                  static_cast<unsigned long long>(length));
    *entry = text;
    if (fail || length == 0 || physical > 0xFFFFFFFFu || physical + length > (uint64_t{1} << 32)) {
        *entry += " -> null";
        return nullptr;
    }
    const uintptr_t offset = physical % kPage;
    const size_t pages = PagesFor(offset, length);
    const uintptr_t start = mappingArena_.allocate(pages);
    if (start == 0) {
        *entry += " -> null";
        return nullptr;
    }
    auto* bytes = reinterpret_cast<uint8_t*>(start + offset);
    machine_.memory()->read(static_cast<uint32_t>(physical), std::span<uint8_t>(bytes, length));
    mappingArena_.makeReadOnly(start, pages);
    // Bytes of the pages outside the asked range are not part of the
    // mapping; ASan builds catch a read of them.
    ZHOST_POISON(reinterpret_cast<void*>(start), offset);
    ZHOST_POISON(bytes + length, pages * kPage - offset - length);
    const auto [it, inserted] = mappings_.emplace(
        start + offset, Mapping{start, pages, static_cast<uint32_t>(physical), static_cast<uint32_t>(length)});
    (void)inserted;
    bytesMapped_ += length;
    std::snprintf(text, sizeof text, " -> 0x%08zx", static_cast<size_t>(start + offset));
    *entry += text;
    return &it->second;
}

const Mapping* MemoryManager::find(uintptr_t address) const
{
    auto it = mappings_.find(address);
    return it == mappings_.end() ? nullptr : &it->second;
}

Mapping MemoryManager::take(uintptr_t address, std::string* entry)
{
    const auto it = mappings_.find(address);
    const Mapping mapping = it->second;
    char text[96];
    std::snprintf(text, sizeof text, "MmUnmapIoSpace 0x%08zx %u", size_t{address}, mapping.length);
    *entry = text;
    mappings_.erase(it);
    return mapping;
}

void MemoryManager::release(const Mapping& mapping)
{
    mappingArena_.release(mapping.blockStart, mapping.pages);
}

namespace {

// Whole pages of a mapping hold the poisoned bytes outside its range too.
ZHOST_PAGE_COPY void CopyPages(uint8_t* to, const uint8_t* from, size_t count)
{
    for (size_t i = 0; i < count / 8; ++i)
        reinterpret_cast<uint64_t*>(to)[i] = reinterpret_cast<const uint64_t*>(from)[i];
}

void Fill(const Mapping& mapping, const std::function<void(uint8_t*)>& write)
{
    auto* block = reinterpret_cast<uint8_t*>(mapping.blockStart);
    const size_t size = mapping.pages * kPage;
    mprotect(block, size, PROT_READ | PROT_WRITE);
    ZHOST_UNPOISON(block, size);
    write(block);
    mprotect(block, size, PROT_READ);
    const size_t offset = mapping.physical % kPage;
    ZHOST_POISON(block, offset);
    ZHOST_POISON(block + offset + mapping.length, size - offset - mapping.length);
}

} // namespace

MemoryManager::State MemoryManager::state() const
{
    State state{mappingArena_.layout(), poolArena_.layout(), mappings_, {}, mapCalls_, bytesMapped_};
    if (!state.poolArena.allocated.empty()) BugCheck("kernel snapshot while a system buffer is out");
    for (const auto& [address, mapping] : mappings_) {
        std::vector<uint8_t> bytes(mapping.pages * kPage);
        CopyPages(bytes.data(), reinterpret_cast<const uint8_t*>(mapping.blockStart), bytes.size());
        state.mappedBytes.emplace(mapping.blockStart, std::move(bytes));
    }
    return state;
}

void MemoryManager::restore(const State& state)
{
    mappingArena_.restoreLayout(state.mappingArena);
    poolArena_.restoreLayout(state.poolArena);
    mappings_ = state.mappings;
    for (const auto& [address, mapping] : mappings_) {
        const std::vector<uint8_t>& bytes = state.mappedBytes.at(mapping.blockStart);
        Fill(mapping, [&](uint8_t* block) { CopyPages(block, bytes.data(), bytes.size()); });
    }
    mapCalls_ = state.mapCalls;
    bytesMapped_ = state.bytesMapped;
}

void MemoryManager::reread()
{
    for (const auto& entry : mappings_) {
        const Mapping& mapping = entry.second;
        Fill(mapping, [&](uint8_t* block) {
            machine_.memory()->read(mapping.physical,
                                    std::span<uint8_t>(block + mapping.physical % kPage, mapping.length));
        });
    }
}

PoolBlock MemoryManager::allocatePool(size_t size)
{
    const size_t rounded = (size + 7) & ~size_t{7};
    const size_t pages = PagesFor(0, rounded);
    const uintptr_t start = poolArena_.allocate(pages);
    if (start == 0) BugCheck("host kernel pool exhausted");
    auto* buffer = reinterpret_cast<uint8_t*>(start + pages * kPage - rounded);
    ZHOST_POISON(reinterpret_cast<void*>(start), pages * kPage - rounded);
    ZHOST_POISON(buffer + size, rounded - size);
    return {buffer, size, start, pages};
}

void MemoryManager::releasePool(const PoolBlock& block)
{
    poolArena_.release(block.blockStart, block.pages);
}

} // namespace zhost
