// The emulated image's part of a kernel snapshot. Unicorn keeps the CPU in
// an opaque context; the memory the driver can change is copied out of the
// emulated machine, and the host mappings it sees are mapped or unmapped to
// match.
#include "emulated_image.h"

#include <tuple>

namespace zhost::i386 {

namespace {

constexpr int kRegisters[] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                              UC_X86_REG_EDI, UC_X86_REG_EBP, UC_X86_REG_ESP, UC_X86_REG_EIP, UC_X86_REG_EFLAGS};

struct Range {
    uint32_t start;
    uint32_t size;
};

struct SavedImage final : DriverImage::State {
    std::shared_ptr<uc_context> cpu;
    std::vector<uint32_t> registers;          // the context's, for comparing
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
               std::tie(registers, memory, mappings, objectsUsed, driverObject, irp, lastInstruction, instructions,
                        smiSequence, lastCall.instructions, lastCall.stackBytes) ==
                   std::tie(saved->registers, saved->memory, saved->mappings, saved->objectsUsed, saved->driverObject,
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
    uc_context* cpu = nullptr;
    if (uc_context_alloc(uc_, &cpu) != UC_ERR_OK || uc_context_save(uc_, cpu) != UC_ERR_OK) {
        BugCheck("the i386 emulator cannot save its CPU");
    }
    saved->cpu.reset(cpu, uc_context_free);
    for (int id : kRegisters)
        saved->registers.push_back(reg(id));
    const std::vector<Range> ranges = WritableRanges(image_);
    for (const Range& range : ranges) {
        std::vector<uint8_t> bytes(range.size);
        uc_mem_read(uc_, range.start, bytes.data(), bytes.size());
        saved->memory.push_back(std::move(bytes));
    }
    saved->mappings = mappings_;
    saved->objectsUsed = objectsUsed_;
    saved->driverObject = driverObject_;
    saved->irp = irp_;
    saved->lastInstruction = lastInstruction_;
    saved->instructions = instructions_;
    saved->smiSequence = smiSequence_;
    saved->lastCall = lastCall_;
    return saved;
}

void EmulatedImage::restoreState(const State& state)
{
    const auto& saved = dynamic_cast<const SavedImage&>(state);
    if (uc_context_restore(uc_, saved.cpu.get()) != UC_ERR_OK) stop("the i386 emulator cannot restore its CPU");
    const std::vector<Range> ranges = WritableRanges(image_);
    for (size_t i = 0; i < ranges.size(); ++i)
        uc_mem_write(uc_, ranges[i].start, saved.memory[i].data(), saved.memory[i].size());
    // The kernel's memory manager has put the snapshot's mappings back at
    // the same host pages; the emulated machine sees exactly those.
    for (const auto& [address, mapping] : mappings_) {
        auto kept = saved.mappings.find(address);
        if (kept == saved.mappings.end() || !(kept->second == mapping))
            uc_mem_unmap(uc_, mapping.blockStart, mapping.pages * VirtualArena::kPageSize);
    }
    for (const auto& [address, mapping] : saved.mappings) {
        auto live = mappings_.find(address);
        if (live != mappings_.end() && live->second == mapping) continue;
        if (uc_mem_map_ptr(uc_, mapping.blockStart, mapping.pages * VirtualArena::kPageSize, UC_PROT_READ,
                           reinterpret_cast<void*>(mapping.blockStart)) != UC_ERR_OK) {
            stop("the emulator cannot map a restored mapping");
        }
    }
    mappings_ = saved.mappings;
    objectsUsed_ = saved.objectsUsed;
    driverObject_ = saved.driverObject;
    irp_ = saved.irp;
    fault_.clear();
    lastInstruction_ = saved.lastInstruction;
    instructions_ = saved.instructions;
    smiSequence_ = saved.smiSequence;
    lastCall_ = saved.lastCall;
}

void EmulatedImage::hookBlocks(uc_cb_hookcode_t callback, void* context)
{
    uc_hook hook;
    const uint64_t end = uint64_t{image_.base} + image_.memory.size() - 1;
    if (uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(callback), context, image_.base, end) != 0)
        stop("the i386 emulator cannot hook the driver's blocks");
}

} // namespace zhost::i386
