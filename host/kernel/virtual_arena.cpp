#include "virtual_arena.h"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>

#include "asan.h"

namespace zhost {

namespace {
constexpr size_t kQuarantineBlocks = 256;
}

VirtualArena::VirtualArena(uintptr_t base, size_t size) : base_(base), size_(size)
{
    void* got = mmap(reinterpret_cast<void*>(base), size, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != reinterpret_cast<void*>(base)) {
        std::fprintf(stderr, "host kernel: cannot reserve virtual range 0x%zx+0x%zx\n", size_t{base}, size);
        std::abort();
    }
    // The first page is the leading guard of the first block.
    free_[base + kPageSize] = size / kPageSize - 1;
}

VirtualArena::~VirtualArena()
{
    // Only blocks still handed out can carry poison; clearing the shadow of
    // the whole range would cost more than everything else a kernel does.
    for (const auto& [start, pages] : allocated_) {
        ZHOST_UNPOISON(reinterpret_cast<void*>(start), pages * kPageSize);
    }
    munmap(reinterpret_cast<void*>(base_), size_);
}

uintptr_t VirtualArena::allocate(size_t pages)
{
    const size_t need = pages + 1;
    for (auto it = free_.begin(); it != free_.end(); ++it) {
        if (it->second < need) continue;
        const uintptr_t start = it->first;
        const size_t left = it->second - need;
        free_.erase(it);
        if (left > 0) free_[start + need * kPageSize] = left;
        mprotect(reinterpret_cast<void*>(start), pages * kPageSize, PROT_READ | PROT_WRITE);
        allocated_[start] = pages;
        return start;
    }
    return 0;
}

void VirtualArena::makeReadOnly(uintptr_t start, size_t pages)
{
    mprotect(reinterpret_cast<void*>(start), pages * kPageSize, PROT_READ);
}

void VirtualArena::release(uintptr_t start, size_t pages)
{
    allocated_.erase(start);
    ZHOST_UNPOISON(reinterpret_cast<void*>(start), pages * kPageSize);
    madvise(reinterpret_cast<void*>(start), pages * kPageSize, MADV_DONTNEED);
    mprotect(reinterpret_cast<void*>(start), pages * kPageSize, PROT_NONE);
    quarantine_.emplace_back(start, pages + 1);
    if (quarantine_.size() > kQuarantineBlocks) {
        freeBlock(quarantine_.front().first, quarantine_.front().second);
        quarantine_.pop_front();
    }
}

void VirtualArena::restoreLayout(const Layout& layout)
{
    for (const auto& [start, pages] : allocated_) {
        const auto kept = layout.allocated.find(start);
        if (kept != layout.allocated.end() && kept->second == pages) continue;
        ZHOST_UNPOISON(reinterpret_cast<void*>(start), pages * kPageSize);
        madvise(reinterpret_cast<void*>(start), pages * kPageSize, MADV_DONTNEED);
        mprotect(reinterpret_cast<void*>(start), pages * kPageSize, PROT_NONE);
    }
    for (const auto& [start, pages] : layout.allocated) {
        mprotect(reinterpret_cast<void*>(start), pages * kPageSize, PROT_READ | PROT_WRITE);
        ZHOST_UNPOISON(reinterpret_cast<void*>(start), pages * kPageSize);
    }
    free_ = layout.free;
    quarantine_ = layout.quarantine;
    allocated_ = layout.allocated;
}

void VirtualArena::freeBlock(uintptr_t start, size_t pages)
{
    auto [it, inserted] = free_.emplace(start, pages);
    (void)inserted;
    auto next = std::next(it);
    if (next != free_.end() && it->first + it->second * kPageSize == next->first) {
        it->second += next->second;
        free_.erase(next);
    }
    if (it != free_.begin()) {
        auto previous = std::prev(it);
        if (previous->first + previous->second * kPageSize == it->first) {
            previous->second += it->second;
            free_.erase(it);
        }
    }
}

} // namespace zhost
