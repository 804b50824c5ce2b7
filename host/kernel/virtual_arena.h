// Kernel virtual address space of the host kernel: a fixed reserved range
// below 4 GiB handed out page by page, so that addresses are deterministic
// for a given call sequence and print exactly with "0x%08x". Every block is
// followed by an inaccessible guard page; released blocks become
// inaccessible and wait in a quarantine before reuse, so stale pointers fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>

namespace zhost {

class VirtualArena {
  public:
    static constexpr size_t kPageSize = 4096;

    VirtualArena(uintptr_t base, size_t size);
    ~VirtualArena();
    VirtualArena(const VirtualArena&) = delete;
    VirtualArena& operator=(const VirtualArena&) = delete;

    // Returns the first byte of `pages` readable-writable pages; the page
    // after them stays inaccessible. Returns 0 when the arena is exhausted.
    uintptr_t allocate(size_t pages);
    void makeReadOnly(uintptr_t start, size_t pages);
    void release(uintptr_t start, size_t pages);

    // Which pages are handed out, free or waiting, for a kernel's snapshot.
    struct Layout {
        std::map<uintptr_t, size_t> free;
        std::deque<std::pair<uintptr_t, size_t>> quarantine;
        std::map<uintptr_t, size_t> allocated;
        bool operator==(const Layout&) const = default;
    };
    Layout layout() const { return {free_, quarantine_, allocated_}; }
    // Puts back a layout taken earlier: blocks handed out since are released
    // at once (inaccessible, emptied); the layout's blocks are accessible
    // again, their bytes the caller's to restore.
    void restoreLayout(const Layout& layout);

  private:
    void freeBlock(uintptr_t start, size_t pages);

    uintptr_t base_;
    size_t size_;
    std::map<uintptr_t, size_t> free_; // start -> pages, coalesced
    std::deque<std::pair<uintptr_t, size_t>> quarantine_;
    std::map<uintptr_t, size_t> allocated_; // start -> pages, for the sanitizer's sake
};

} // namespace zhost
