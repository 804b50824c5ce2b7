// The image in the emulator: its bytes and stubs mapped, and the calls from
// the kernel into it. Its hooks are in cpu_hooks.cpp, the checked access to
// its memory in guest_memory.cpp, the objects a call passes in
// nt_objects.cpp and its part of a snapshot in emulated_state.cpp.
#include "emulated_image.h"
#include "../kernel.h"

#include "guest_memory.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zhost::i386 {

namespace {

constexpr uint8_t kStackFill = 0xCC;
// Values the callee-saved registers carry into every call from the kernel.
struct CalleeSaved {
    Reg reg;
    uint32_t value;
    const char* name;
};
constexpr CalleeSaved kCalleeSaved[] = {{Reg::Ebx, 0xB0B0B0B0, "EBX"},
                                        {Reg::Esi, 0x51515151, "ESI"},
                                        {Reg::Edi, 0xD1D1D1D1, "EDI"},
                                        {Reg::Ebp, 0xBBBB0000, "EBP"}};

} // namespace

EmulatedImage::EmulatedImage(Kernel& kernel, PeImage image, const std::string& mapPath)
    : services_(kernel.services()), image_(std::move(image))
{
    symbols_.read(mapPath, image_.base, image_.base);
}

EmulatedImage::~EmulatedImage() = default;

bool EmulatedImage::boot(std::string* error)
{
    if (!cpu_.open(error)) return false;
    const uint32_t base = image_.base;
    const uint32_t size = PageAlign(static_cast<uint32_t>(image_.memory.size()));
    if (base < kLowestImageBase || uint64_t{base} + size > MemoryManager::kMappingArenaBase) {
        *error = "image base " + Hex(base) + " collides with the kernel's ranges";
        return false;
    }
    // Stubs first: the loader writes their addresses into the image.
    std::vector<uint8_t> stubCode(kPage, 0xF4); // hlt
    uint32_t next = kStubPage;
    for (const PeImport& import : image_.imports) {
        const ServiceStub* stub = FindServiceStub(import.module, import.name);
        if (stub == nullptr) {
            *error = "imports " + import.module + "!" + import.name + ", which the emulated kernel does not provide";
            return false;
        }
        uint32_t address = 0;
        for (const auto& [at, known] : stubs_) {
            if (known == stub) address = at;
        }
        if (address == 0) {
            address = next;
            next += 8;
            uint8_t* code = &stubCode[address - kStubPage];
            code[0] = 0xCC; // int3: the stub runs in the interrupt hook
            if (stub->popBytes < 0) {
                code[1] = 0xC3; // ret
            } else {
                code[1] = 0xC2; // ret imm16
                code[2] = static_cast<uint8_t>(stub->popBytes);
                code[3] = static_cast<uint8_t>(stub->popBytes >> 8);
            }
            stubs_[address] = stub;
        }
        for (int i = 0; i < 4; ++i)
            image_.memory[import.slotRva + static_cast<uint32_t>(i)] = static_cast<uint8_t>(address >> (8 * i));
    }

    bool ok = cpu_.map(base, size, kProtRead) &&
              cpu_.write(base, image_.memory.data(), static_cast<uint32_t>(image_.memory.size()));
    for (const PeSection& section : image_.sections) {
        const uint32_t protection =
            kProtRead | (section.executable ? kProtExec : 0) | (section.writable ? kProtWrite : 0);
        if (section.size > 0) ok = ok && cpu_.protect(base + section.rva, PageAlign(section.size), protection);
    }
    ok = ok && cpu_.map(kStubPage, kPage, kProtRead | kProtExec) &&
         cpu_.write(kStubPage, stubCode.data(), static_cast<uint32_t>(stubCode.size())) &&
         cpu_.map(kStackTop - kStackSize, kStackSize, kProtRead | kProtWrite) &&
         cpu_.map(kObjectArea, kObjectAreaSize, kProtRead | kProtWrite);
    // Instructions are counted in the image; reads are watched where the
    // mappings and the pool live, writes where the pool lives.
    constexpr uint32_t kPoolLast = MemoryManager::kPoolArenaBase + MemoryManager::kPoolArenaSize - 1;
    ok = ok && cpu_.attach(*this, {base, base + size - 1, MemoryManager::kMappingArenaBase, kPoolLast,
                                   MemoryManager::kPoolArenaBase, kPoolLast});
    if (!ok) *error = "the i386 emulator cannot map the image";
    irp_ = allocateObject(nt32::Irp::kSize + nt32::IoStackLocation::kSize);
    fileObject_ = allocateObject(nt32::FileObject::kSize + kFileNameRoom);
    return ok;
}

// --- calls from the kernel into the driver ---

uint32_t EmulatedImage::call(uint32_t function, std::initializer_list<uint32_t> args)
{
    std::vector<uint8_t> fill(kStackSize, kStackFill);
    cpu_.write(kStackTop - kStackSize, fill.data(), kStackSize);
    uint32_t esp = kStackTop;
    for (auto it = std::rbegin(args); it != std::rend(args); ++it) {
        esp -= 4;
        write32(esp, *it);
    }
    esp -= 4;
    write32(esp, kReturnToKernel);
    setReg(Reg::Esp, esp);
    for (const CalleeSaved& saved : kCalleeSaved)
        setReg(saved.reg, saved.value);
    cpu_.setCount(0, cpu_.lastInstruction());
    const std::string failure = cpu_.run(function, kReturnToKernel);
    if (!fault_.empty()) stop(fault_);
    if (!failure.empty()) stop(failure + " at " + where(cpu_.lastInstruction()));
    if (reg(Reg::Eip) != kReturnToKernel) stop("the driver did not return, last at " + where(cpu_.lastInstruction()));
    // Every entry point of a driver is stdcall: it pops its arguments.
    if (reg(Reg::Esp) != kStackTop) {
        stop("entry point " + where(function) + " returned with ESP " + Hex(reg(Reg::Esp)) + " instead of " +
             Hex(kStackTop) + ": not stdcall");
    }
    for (const CalleeSaved& saved : kCalleeSaved) {
        if (reg(saved.reg) != saved.value)
            stop(std::string("entry point ") + where(function) + " returned with " + saved.name + " changed");
    }
    // The depth is the lowest byte that no longer holds the fill: a frame
    // that reserves stack it never writes is not counted.
    cpu_.read(kStackTop - kStackSize, fill.data(), kStackSize);
    uint32_t lowest = 0;
    while (lowest < kStackSize && fill[lowest] == kStackFill)
        ++lowest;
    lastCall_ = {cpu_.instructions(), kStackSize - lowest};
    return reg(Reg::Eax);
}

void EmulatedImage::mapped(const Mapping& mapping)
{
    if (!cpu_.mapHost(static_cast<uint32_t>(mapping.blockStart), static_cast<uint32_t>(mapping.pages * kPage),
                      kProtRead, reinterpret_cast<void*>(mapping.blockStart))) {
        stop("the emulator cannot map " + Hex(static_cast<uint32_t>(mapping.blockStart)));
    }
    mappings_[static_cast<uint32_t>(mapping.address())] = mapping;
}

void EmulatedImage::unmapping(const Mapping& mapping)
{
    cpu_.unmap(static_cast<uint32_t>(mapping.blockStart), static_cast<uint32_t>(mapping.pages * kPage));
    mappings_.erase(static_cast<uint32_t>(mapping.address()));
}

} // namespace zhost::i386

namespace zhost {

std::unique_ptr<DriverImage> OpenEmulatedImage(Kernel& kernel, const std::string& path, std::string* error)
{
    std::error_code failed;
    const uintmax_t size = std::filesystem::file_size(path, failed);
    if (failed) {
        *error = failed.message();
        return nullptr;
    }
    if (size > i386::kMaxPeFileSize) {
        *error = "a file of " + std::to_string(size) + " bytes is larger than any driver image (32 MiB)";
        return nullptr;
    }
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    i386::PeImage image;
    if (!i386::ParsePeImage(bytes, &image, error)) return nullptr;
    // An image whose base the emulated kernel's own ranges do not leave free
    // moves, as NT's loader moves one; ZHOST_IMAGE_BASE moves it on purpose.
    uint32_t base = image.base;
    if (base < i386::kLowestImageBase || uint64_t{base} + image.memory.size() > MemoryManager::kMappingArenaBase) {
        base = i386::kLowestImageBase;
    }
    if (const char* forced = std::getenv("ZHOST_IMAGE_BASE"))
        base = static_cast<uint32_t>(std::stoul(forced, nullptr, 0));
    if (base != image.base) {
        if (image.fixups.empty()) {
            *error = "the image must move to " + i386::Hex(base) + " but has no base relocations";
            return nullptr;
        }
        i386::RelocatePeImage(image, base);
    }
    const std::string mapPath =
        (std::filesystem::path(path).parent_path() / (std::filesystem::path(path).stem().string() + ".map")).string();
    auto emulated = std::make_unique<i386::EmulatedImage>(kernel, std::move(image), mapPath);
    if (!emulated->boot(error)) return nullptr;
    return emulated;
}

} // namespace zhost
