// The emulated image's part of a kernel snapshot. The guest CPU keeps its
// state in an opaque context; the memory the driver can change is copied out of the
// emulated machine, and the host mappings it sees are mapped or unmapped to
// match.
#include "../bug_check.h"
#include "emulated_image.h"
#include "guest_memory.h"

#include <tuple>

namespace zhost::i386 {

namespace {

struct Range {
    uint32_t start;
    uint32_t size;
};

struct SavedImage final : DriverImage::State {
    GuestCpu::Context cpu;
    std::vector<std::vector<uint8_t>> memory; // one per writable range
    std::map<uint32_t, Mapping> mappings;
    uint32_t objectsUsed = 0;
    uint32_t driverObject = 0;
    uint32_t irp = 0;
    uint32_t lastInstruction = 0;
    uint64_t instructions = 0;
    uint64_t smiSequence = 0;
    CallFigures lastCall;

    bool operator==(const DriverImage::State& other) const override
    {
        const auto* saved = dynamic_cast<const SavedImage*>(&other);
        return saved != nullptr &&
               std::tie(cpu, memory, mappings, objectsUsed, driverObject, irp, lastInstruction, instructions,
                        smiSequence, lastCall.instructions, lastCall.stackBytes) ==
                   std::tie(saved->cpu, saved->memory, saved->mappings, saved->objectsUsed, saved->driverObject,
                            saved->irp, saved->lastInstruction, saved->instructions, saved->smiSequence,
                            saved->lastCall.instructions, saved->lastCall.stackBytes);
    }
};

// What the driver can change: the stack, the kernel objects and its own
// writable sections.
std::vector<Range> WritableRanges(const PeImage& image)
{
    std::vector<Range> ranges = {{kStackTop - kStackSize, kStackSize}, {kObjectArea, kObjectAreaSize}};
    for (const PeSection& section : image.sections) {
        if (section.writable && section.size > 0) ranges.push_back({image.base + section.rva, section.size});
    }
    return ranges;
}

} // namespace

std::shared_ptr<const DriverImage::State> EmulatedImage::saveState() const
{
    if (request_ != nullptr || !fault_.empty()) BugCheck("kernel snapshot in the middle of a call");
    auto saved = std::make_shared<SavedImage>();
    saved->cpu = cpu_.save();
    if (saved->cpu.opaque == nullptr) BugCheck("the i386 emulator cannot save its CPU");
    const std::vector<Range> ranges = WritableRanges(image_);
    for (const Range& range : ranges) {
        std::vector<uint8_t> bytes(range.size);
        cpu_.read(range.start, bytes.data(), range.size);
        saved->memory.push_back(std::move(bytes));
    }
    saved->mappings = mappings_;
    saved->objectsUsed = objectsUsed_;
    saved->driverObject = driverObject_;
    saved->irp = irp_;
    saved->lastInstruction = cpu_.lastInstruction();
    saved->instructions = cpu_.instructions();
    saved->smiSequence = smiSequence_;
    saved->lastCall = lastCall_;
    return saved;
}

void EmulatedImage::restoreState(const State& state)
{
    const auto& saved = dynamic_cast<const SavedImage&>(state);
    if (!cpu_.restore(saved.cpu)) stop("the i386 emulator cannot restore its CPU");
    const std::vector<Range> ranges = WritableRanges(image_);
    for (size_t i = 0; i < ranges.size(); ++i)
        cpu_.write(ranges[i].start, saved.memory[i].data(), ranges[i].size);
    // The kernel's memory manager has put the snapshot's mappings back at
    // the same host pages; the emulated machine sees exactly those.
    for (const auto& [address, mapping] : mappings_) {
        auto kept = saved.mappings.find(address);
        if (kept == saved.mappings.end() || !(kept->second == mapping))
            cpu_.unmap(static_cast<uint32_t>(mapping.blockStart), static_cast<uint32_t>(mapping.pages * kPage));
    }
    for (const auto& [address, mapping] : saved.mappings) {
        auto live = mappings_.find(address);
        if (live != mappings_.end() && live->second == mapping) continue;
        if (!cpu_.mapHost(static_cast<uint32_t>(mapping.blockStart), static_cast<uint32_t>(mapping.pages * kPage),
                          kProtRead, reinterpret_cast<void*>(mapping.blockStart))) {
            stop("the emulator cannot map a restored mapping");
        }
    }
    mappings_ = saved.mappings;
    objectsUsed_ = saved.objectsUsed;
    driverObject_ = saved.driverObject;
    irp_ = saved.irp;
    fault_.clear();
    cpu_.setCount(saved.instructions, saved.lastInstruction);
    smiSequence_ = saved.smiSequence;
    lastCall_ = saved.lastCall;
}

void EmulatedImage::hookBlocks(GuestCpu::BlockCallback callback, void* context)
{
    const auto last = static_cast<uint32_t>(image_.base + image_.memory.size() - 1);
    if (!cpu_.hookBlocks(image_.base, last, callback, context))
        stop("the i386 emulator cannot hook the driver's blocks");
}

} // namespace zhost::i386
