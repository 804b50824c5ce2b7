#include "physical_memory.h"

#include <algorithm>
#include <cstring>

namespace zhost {

void PhysicalMemory::write(uint32_t address, std::span<const uint8_t> bytes)
{
    uint64_t at = address;
    size_t done = 0;
    while (done < bytes.size() && at <= UINT32_MAX) {
        const uint32_t pageNumber = static_cast<uint32_t>(at / kPageSize);
        const uint32_t offset = static_cast<uint32_t>(at % kPageSize);
        auto& page = pages_[pageNumber];
        if (!page) {
            page = std::make_unique<Page>();
            page->fill(0);
        }
        const size_t count = std::min<size_t>(kPageSize - offset, bytes.size() - done);
        std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(done), count, page->begin() + offset);
        done += count;
        at += count;
    }
}

void PhysicalMemory::read(uint32_t address, std::span<uint8_t> out) const
{
    uint64_t at = address;
    size_t done = 0;
    while (done < out.size()) {
        if (at > UINT32_MAX) {
            std::fill(out.begin() + static_cast<ptrdiff_t>(done), out.end(), 0xFF);
            break;
        }
        const uint32_t pageNumber = static_cast<uint32_t>(at / kPageSize);
        const uint32_t offset = static_cast<uint32_t>(at % kPageSize);
        const size_t count = std::min<size_t>(kPageSize - offset, out.size() - done);
        auto it = pages_.find(pageNumber);
        // Whole runs at once: a mapping of the BIOS window reads 128 KiB,
        // which a fuzzer does for every input.
        if (it == pages_.end()) {
            std::memset(out.data() + done, 0, count);
        } else {
            std::memcpy(out.data() + done, it->second->data() + offset, count);
        }
        done += count;
        at += count;
    }
    const uint64_t end = uint64_t{address} + out.size();
    for (auto it = volatile_.lower_bound(address); it != volatile_.end() && it->first < end; ++it) {
        if (it->second.read) out[it->first - address] = it->second.later;
        it->second.read = true;
    }
}

void PhysicalMemory::makeVolatile(uint32_t address, uint8_t later)
{
    volatile_[address] = {later, false};
}

std::vector<uint8_t> PhysicalMemory::read(uint32_t address, uint32_t length) const
{
    std::vector<uint8_t> out(length);
    read(address, out);
    return out;
}

uint8_t PhysicalMemory::byte(uint32_t address) const
{
    uint8_t value = 0;
    read(address, std::span<uint8_t>(&value, 1));
    return value;
}

PhysicalMemory::State PhysicalMemory::state() const
{
    State state;
    for (const auto& [number, page] : pages_)
        state.pages.emplace(number, *page);
    state.volatileBytes = volatile_;
    return state;
}

void PhysicalMemory::restore(const State& state)
{
    // Between a fuzzer's inputs most pages are as they were: they are kept
    // and only those that differ are written.
    std::erase_if(pages_, [&](const auto& entry) { return !state.pages.contains(entry.first); });
    for (const auto& [number, bytes] : state.pages) {
        auto& page = pages_[number];
        if (!page)
            page = std::make_unique<Page>(bytes);
        else if (*page != bytes)
            *page = bytes;
    }
    volatile_ = state.volatileBytes;
}

std::vector<std::pair<uint32_t, uint32_t>> PhysicalMemory::populatedRanges() const
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const auto& [pageNumber, page] : pages_) {
        const uint32_t start = pageNumber * kPageSize;
        if (!ranges.empty() && ranges.back().first + ranges.back().second == start) {
            ranges.back().second += kPageSize;
        } else {
            ranges.emplace_back(start, kPageSize);
        }
    }
    return ranges;
}

} // namespace zhost
