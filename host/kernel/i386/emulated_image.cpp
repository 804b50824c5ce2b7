// The image in the emulator: its bytes and stubs mapped, and the calls from
// the kernel into it. Its hooks are in cpu_hooks.cpp, the checked access to
// its memory in guest_memory.cpp, the objects a call passes in
// nt_objects.cpp and its part of a snapshot in emulated_state.cpp.
#include "emulated_image.h"

#include "guest_memory.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zhost::i386 {

namespace {

constexpr uint8_t kStackFill = 0xCC;
// Values the callee-saved registers carry into every call from the kernel.
constexpr uint32_t kCalleeSaved[][2] = {{UC_X86_REG_EBX, 0xB0B0B0B0},
                                        {UC_X86_REG_ESI, 0x51515151},
                                        {UC_X86_REG_EDI, 0xD1D1D1D1},
                                        {UC_X86_REG_EBP, 0xBBBB0000}};
const char* const kCalleeSavedNames[] = {"EBX", "ESI", "EDI", "EBP"};

} // namespace

EmulatedImage::EmulatedImage(Kernel& kernel, PeImage image, const std::string& mapPath)
    : services_(kernel.services()), image_(std::move(image))
{
    symbols_.read(mapPath, image_.base, image_.base);
}

EmulatedImage::~EmulatedImage()
{
    if (uc_ != nullptr) uc_close(uc_);
}

bool EmulatedImage::boot(std::string* error)
{
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
        *error = "the i386 emulator does not start";
        return false;
    }
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

    bool ok = uc_mem_map(uc_, base, size, UC_PROT_READ) == UC_ERR_OK &&
              uc_mem_write(uc_, base, image_.memory.data(), image_.memory.size()) == UC_ERR_OK;
    for (const PeSection& section : image_.sections) {
        const uint32_t protection =
            UC_PROT_READ | (section.executable ? UC_PROT_EXEC : 0) | (section.writable ? UC_PROT_WRITE : 0);
        if (section.size > 0)
            ok = ok && uc_mem_protect(uc_, base + section.rva, PageAlign(section.size), protection) == 0;
    }
    ok = ok && uc_mem_map(uc_, kStubPage, kPage, UC_PROT_READ | UC_PROT_EXEC) == UC_ERR_OK &&
         uc_mem_write(uc_, kStubPage, stubCode.data(), stubCode.size()) == UC_ERR_OK &&
         uc_mem_map(uc_, kStackTop - kStackSize, kStackSize, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK &&
         uc_mem_map(uc_, kObjectArea, kObjectAreaSize, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK;
    ok = ok && installHooks(base, size);
    if (!ok) *error = "the i386 emulator cannot map the image";
    irp_ = allocateObject(nt32::Irp::kSize + nt32::IoStackLocation::kSize);
    fileObject_ = allocateObject(nt32::FileObject::kSize + kFileNameRoom);
    return ok;
}

// --- calls from the kernel into the driver ---

uint32_t EmulatedImage::call(uint32_t function, std::initializer_list<uint32_t> args)
{
    std::vector<uint8_t> fill(kStackSize, kStackFill);
    uc_mem_write(uc_, kStackTop - kStackSize, fill.data(), fill.size());
    uint32_t esp = kStackTop;
    for (auto it = std::rbegin(args); it != std::rend(args); ++it) {
        esp -= 4;
        write32(esp, *it);
    }
    esp -= 4;
    write32(esp, kReturnToKernel);
    setReg(UC_X86_REG_ESP, esp);
    for (const auto& [id, value] : kCalleeSaved)
        setReg(static_cast<int>(id), value);
    instructions_ = 0;
    const uc_err result = uc_emu_start(uc_, function, kReturnToKernel, 0, 0);
    if (!fault_.empty()) stop(fault_);
    if (result != UC_ERR_OK) stop(std::string(uc_strerror(result)) + " at " + where(lastInstruction_));
    if (reg(UC_X86_REG_EIP) != kReturnToKernel) stop("the driver did not return, last at " + where(lastInstruction_));
    // Every entry point of a driver is stdcall: it pops its arguments.
    if (reg(UC_X86_REG_ESP) != kStackTop) {
        stop("entry point " + where(function) + " returned with ESP " + Hex(reg(UC_X86_REG_ESP)) + " instead of " +
             Hex(kStackTop) + ": not stdcall");
    }
    for (size_t i = 0; i < std::size(kCalleeSaved); ++i) {
        if (reg(static_cast<int>(kCalleeSaved[i][0])) != kCalleeSaved[i][1]) {
            stop(std::string("entry point ") + where(function) + " returned with " + kCalleeSavedNames[i] + " changed");
        }
    }
    // The depth is the lowest byte that no longer holds the fill: a frame
    // that reserves stack it never writes is not counted.
    uc_mem_read(uc_, kStackTop - kStackSize, fill.data(), fill.size());
    uint32_t lowest = 0;
    while (lowest < kStackSize && fill[lowest] == kStackFill)
        ++lowest;
    lastCall_ = {instructions_, kStackSize - lowest};
    return reg(UC_X86_REG_EAX);
}

void EmulatedImage::mapped(const Mapping& mapping)
{
    if (uc_mem_map_ptr(uc_, mapping.blockStart, mapping.pages * kPage, UC_PROT_READ,
                       reinterpret_cast<void*>(mapping.blockStart)) != UC_ERR_OK) {
        stop("the emulator cannot map " + Hex(static_cast<uint32_t>(mapping.blockStart)));
    }
    mappings_[static_cast<uint32_t>(mapping.address())] = mapping;
}

void EmulatedImage::unmapping(const Mapping& mapping)
{
    uc_mem_unmap(uc_, mapping.blockStart, mapping.pages * kPage);
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
