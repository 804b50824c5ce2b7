#include "emulated_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zhost::i386 {

namespace {

constexpr uint32_t kPage = VirtualArena::kPageSize;
constexpr uint8_t kStackFill = 0xCC;
constexpr uint32_t kFileNameRoom = 512; // bytes of the file object's name
// Values the callee-saved registers carry into every call from the kernel.
constexpr uint32_t kCalleeSaved[][2] = {{UC_X86_REG_EBX, 0xB0B0B0B0},
                                        {UC_X86_REG_ESI, 0x51515151},
                                        {UC_X86_REG_EDI, 0xD1D1D1D1},
                                        {UC_X86_REG_EBP, 0xBBBB0000}};
const char* const kCalleeSavedNames[] = {"EBX", "ESI", "EDI", "EBP"};

uint32_t PageAlign(uint32_t bytes)
{
    return (bytes + kPage - 1) & ~(kPage - 1);
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

} // namespace

// Unicorn's callbacks, forwarded to the image. A C++ exception must not
// unwind through Unicorn's C frames (that terminates the host): each callback
// catches whatever escapes it and stops the run with the reason.
struct Hooks {
    template <class Body> static auto guarded(uc_engine* uc, void* data, const char* hook, Body body)
    {
        auto* image = static_cast<EmulatedImage*>(data);
        try {
            return body(image);
        } catch (const std::exception& error) {
            image->fault_ = std::string("the emulated kernel failed in its ") + hook + " hook (" + error.what() +
                            "), at " + image->where(image->lastInstruction_);
        } catch (...) {
            image->fault_ = std::string("the emulated kernel failed in its ") + hook + " hook, at " +
                            image->where(image->lastInstruction_);
        }
        uc_emu_stop(uc);
        return decltype(body(image))();
    }

    static void code(uc_engine*, uint64_t address, uint32_t, void* data)
    {
        auto* image = static_cast<EmulatedImage*>(data);
        ++image->instructions_;
        image->lastInstruction_ = static_cast<uint32_t>(address);
    }

    static void interrupt(uc_engine* uc, uint32_t number, void* data)
    {
        guarded(uc, data, "interrupt", [&](EmulatedImage* image) { image->interrupt(number); });
    }

    static uint32_t in(uc_engine* uc, uint32_t port, int size, void* data)
    {
        return guarded(uc, data, "in", [&](EmulatedImage* image) {
            uint32_t value = 0;
            for (int i = 0; i < size; ++i)
                value |= uint32_t{image->kernel_.machine().portRead(static_cast<uint16_t>(port + i))} << (8 * i);
            return value;
        });
    }

    static void out(uc_engine* uc, uint32_t port, int size, uint32_t value, void* data)
    {
        guarded(uc, data, "out", [&](EmulatedImage* image) { image->out(port, size, value); });
    }

    static void read(uc_engine* uc, uc_mem_type, uint64_t address, int size, int64_t, void* data)
    {
        guarded(uc, data, "read", [&](EmulatedImage* image) {
            if (!image->readableByDriver(static_cast<uint32_t>(address), static_cast<uint32_t>(size))) {
                image->fault_ = "read of " + std::to_string(size) + " bytes at " + Hex(static_cast<uint32_t>(address)) +
                                " outside every mapping and the system buffer, by " +
                                image->where(image->lastInstruction_);
                uc_emu_stop(uc);
            }
        });
    }

    static void write(uc_engine* uc, uc_mem_type, uint64_t address, int size, int64_t, void* data)
    {
        guarded(uc, data, "write", [&](EmulatedImage* image) {
            const Request* request = image->request_;
            const uint32_t start = static_cast<uint32_t>(address);
            const uint32_t buffer =
                request ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(request->system.buffer)) : 0;
            if (request == nullptr || start < buffer ||
                uint64_t{start} + size > uint64_t{buffer} + request->system.size) {
                image->fault_ = "write of " + std::to_string(size) + " bytes at " + Hex(start) +
                                " outside the system buffer, by " + image->where(image->lastInstruction_);
                uc_emu_stop(uc);
            }
        });
    }

    static bool invalid(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t, void* data)
    {
        return guarded(uc, data, "invalid-access", [&](EmulatedImage* image) {
            const auto at = static_cast<uint32_t>(address);
            std::string what;
            switch (type) {
            case UC_MEM_WRITE_PROT:
                what = "write to read-only memory (mapped firmware or the image's code and constants)";
                break;
            case UC_MEM_FETCH_PROT:
            case UC_MEM_FETCH_UNMAPPED: what = "execution outside the driver's code"; break;
            default:
                what = type == UC_MEM_WRITE_UNMAPPED ? "write to unmapped memory" : "read of unmapped memory";
                if (at < kStackTop - kStackSize && at + 64 * 1024u >= kStackTop - kStackSize) {
                    what = "kernel stack overflow (12 KiB)";
                }
            }
            image->fault_ = what + ": " + std::to_string(size) + " bytes at " + Hex(at) + ", by " +
                            image->where(image->lastInstruction_);
            return false;
        });
    }
};

// A stub of an import, entered by its int3.
void EmulatedImage::interrupt(uint32_t number)
{
    const uint32_t eip = reg(UC_X86_REG_EIP);
    // The CPU reports a breakpoint trap with EIP after the int3.
    auto stub = stubs_.find(eip - 1);
    if (number != 3 || stub == stubs_.end()) {
        fault_ = "unexpected interrupt " + std::to_string(number) + " at " + where(eip);
        uc_emu_stop(uc_);
        return;
    }
    const uint32_t caller = read32(reg(UC_X86_REG_ESP));
    if (!insideImageCode(caller)) {
        stop(std::string(stub->second->name) + " called with return address " + Hex(caller) +
             ", outside the driver's code: a wrong stack shape");
    }
    stub->second->run(*this);
}

// Every width reaches the SMI gate's checks: the gate takes bytes alone, and
// a wider write to 0xB2 or 0x84 would run the firmware on whatever the
// registers held.
void EmulatedImage::out(uint32_t port, int size, uint32_t value)
{
    for (const uint32_t gate : {uint32_t{Machine::kSmiCommandPort}, uint32_t{Machine::kPostCodePort}}) {
        if (size != 1 && port <= gate && gate < port + static_cast<uint32_t>(size)) {
            fault_ = "out of " + std::to_string(size) + " bytes at port " + Hex(port) + " covers SMI gate port " +
                     Hex(gate) + ", which takes bytes only, at " + where(lastInstruction_);
            uc_emu_stop(uc_);
            return;
        }
    }
    if (port == Machine::kSmiCommandPort) {
        smi();
        return;
    }
    for (int i = 0; i < size; ++i)
        kernel_.machine().portWrite(static_cast<uint16_t>(port + static_cast<uint32_t>(i)),
                                    static_cast<uint8_t>(value >> (8 * i)));
}

EmulatedImage::EmulatedImage(Kernel& kernel, PeImage image, const std::string& mapPath)
    : kernel_(kernel), image_(std::move(image))
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
    uc_hook hook;
    ok = ok &&
         uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Hooks::code), this, base, base + size - 1) ==
             0 &&
         uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Hooks::interrupt), this, 1, 0) == 0 &&
         uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::in), this, 1, 0, UC_X86_INS_IN) == 0 &&
         uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::out), this, 1, 0, UC_X86_INS_OUT) == 0 &&
         uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ, reinterpret_cast<void*>(&Hooks::read), this,
                     MemoryManager::kMappingArenaBase,
                     MemoryManager::kPoolArenaBase + MemoryManager::kPoolArenaSize - 1) == 0 &&
         uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&Hooks::write), this,
                     MemoryManager::kPoolArenaBase,
                     MemoryManager::kPoolArenaBase + MemoryManager::kPoolArenaSize - 1) == 0 &&
         uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Hooks::invalid), this, 1, 0) == 0;
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

NTSTATUS EmulatedImage::start()
{
    std::lock_guard lock(callLock_);
    using namespace nt32;
    driverObject_ = allocateObject(DriverObject::kSize);
    write16(driverObject_ + DriverObject::Type, kIoTypeDriver);
    write16(driverObject_ + DriverObject::Size, DriverObject::kSize);
    write32(driverObject_ + DriverObject::DriverStart, image_.base);
    write32(driverObject_ + DriverObject::DriverSize, static_cast<uint32_t>(image_.memory.size()));
    for (uint32_t major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        write32(driverObject_ + DriverObject::MajorFunction + 4 * major, kInvalidDeviceRequest);

    static const std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zerlo";
    const auto bytes = static_cast<uint32_t>(registryPath.size() * 2);
    const uint32_t path = allocateObject(UnicodeString::kSize + bytes + 2);
    write16(path + UnicodeString::Length, static_cast<uint16_t>(bytes));
    write16(path + UnicodeString::MaximumLength, static_cast<uint16_t>(bytes + 2));
    write32(path + UnicodeString::Buffer, path + UnicodeString::kSize);
    write(path + UnicodeString::kSize, registryPath.data(), bytes);
    return static_cast<NTSTATUS>(call(image_.base + image_.entryRva, {driverObject_, path}));
}

void EmulatedImage::unload()
{
    std::lock_guard lock(callLock_);
    const uint32_t routine = read32(driverObject_ + nt32::DriverObject::DriverUnload);
    if (routine == 0) BugCheck("driver cannot be unloaded: no unload routine");
    call(routine, {driverObject_});
}

void EmulatedImage::dispatch(uintptr_t device, Request& request)
{
    std::lock_guard lock(callLock_);
    using namespace nt32;
    const uint32_t routine = read32(driverObject_ + DriverObject::MajorFunction + 4 * request.major);
    const uint32_t buffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(request.system.buffer));
    std::vector<uint8_t> zeros(Irp::kSize + IoStackLocation::kSize, 0);
    write(irp_, zeros.data(), static_cast<uint32_t>(zeros.size()));
    const uint32_t stack = irp_ + Irp::kSize;
    write16(irp_ + Irp::Type, kIoTypeIrp);
    write16(irp_ + Irp::Size, Irp::kSize + IoStackLocation::kSize);
    write32(irp_ + Irp::AssociatedIrp, buffer);
    write32(irp_ + Irp::IoStatus, 0xFFFFFFFF);
    write32(irp_ + Irp::Information, 0xDEADBEEF);
    write(irp_ + Irp::StackCount, "\x01\x01", 2); // StackCount, CurrentLocation
    write32(irp_ + Irp::CurrentStackLocation, stack);
    write(stack + IoStackLocation::MajorFunction, &request.major, 1);
    write32(stack + IoStackLocation::OutputBufferLength, request.outputLength);
    write32(stack + IoStackLocation::InputBufferLength, request.inputLength);
    write32(stack + IoStackLocation::IoControlCode, request.code);
    write32(stack + IoStackLocation::DeviceObject, static_cast<uint32_t>(device));
    write32(stack + IoStackLocation::FileObject, fileObject_);

    const std::u16string name(request.fileName.begin(), request.fileName.end());
    const auto nameBytes = static_cast<uint32_t>(name.size() * 2);
    if (nameBytes > kFileNameRoom - 2) stop("a file name of " + std::to_string(name.size()) + " characters");
    std::vector<uint8_t> file(FileObject::kSize + nameBytes + 2, 0);
    write(fileObject_, file.data(), static_cast<uint32_t>(file.size()));
    write16(fileObject_ + FileObject::Type, kIoTypeFile);
    write16(fileObject_ + FileObject::Size, FileObject::kSize);
    write32(fileObject_ + FileObject::DeviceObject, static_cast<uint32_t>(device));
    write16(fileObject_ + FileObject::FileName + UnicodeString::Length, static_cast<uint16_t>(nameBytes));
    write16(fileObject_ + FileObject::FileName + UnicodeString::MaximumLength, static_cast<uint16_t>(nameBytes + 2));
    write32(fileObject_ + FileObject::FileName + UnicodeString::Buffer, fileObject_ + FileObject::kSize);
    write(fileObject_ + FileObject::kSize, name.data(), nameBytes);

    if (routine == kInvalidDeviceRequest) {
        // The I/O manager's own answer for a function the driver left alone.
        request.returned = request.status = STATUS_INVALID_DEVICE_REQUEST;
        request.information = 0;
        request.completions = 1;
        return;
    }
    const PoolBlock& block = request.system;
    if (block.pages > 0) {
        uc_mem_map_ptr(uc_, block.blockStart, block.pages * kPage, UC_PROT_READ | UC_PROT_WRITE,
                       reinterpret_cast<void*>(block.blockStart));
    }
    request_ = &request;
    request.returned = static_cast<NTSTATUS>(call(routine, {static_cast<uint32_t>(device), irp_}));
    request_ = nullptr;
    if (block.pages > 0) uc_mem_unmap(uc_, block.blockStart, block.pages * kPage);
    if (!heldMutexes_.empty())
        stop("dispatch routine returned holding the fast mutex at " + Hex(*heldMutexes_.begin()));
    request.status = static_cast<NTSTATUS>(read32(irp_ + Irp::IoStatus));
    request.information = read32(irp_ + Irp::Information);
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

// --- the SMI gate ---

void EmulatedImage::smi()
{
    // Some handlers latch the function on 0xB2 and act on the write to 0x84,
    // so the instruction after this one must be `out %al, $0x84`.
    uint8_t code[4] = {};
    uc_mem_read(uc_, lastInstruction_, code, sizeof code);
    const uint32_t length = code[0] == 0xE6 ? 2 : 1;
    if (!(code[length] == 0xE6 && code[length + 1] == Machine::kPostCodePort)) {
        fault_ = "out to port 0xB2 not directly followed by out %al to port 0x84, at " + where(lastInstruction_);
        uc_emu_stop(uc_);
        return;
    }
    const int ids[] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX};
    CpuRegisters registers{static_cast<uint16_t>(reg(ids[0])), static_cast<uint16_t>(reg(ids[1])),
                           static_cast<uint16_t>(reg(ids[2])), static_cast<uint16_t>(reg(ids[3]))};
    registers = kernel_.machine().smiCommand(registers);
    // The handler may change any register: the upper halves of EAX..EDX and
    // the others come back as garbage, so a register SmmTrigger forgot to
    // save shows as a wrong answer or a stop.
    const uint16_t low[] = {registers.ax, registers.bx, registers.cx, registers.dx};
    // A fixed sequence rather than real randomness, so that a run that
    // fails fails the same way again.
    auto garbage = [this] {
        smiSequence_ = smiSequence_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(smiSequence_ >> 32);
    };
    for (int i = 0; i < 4; ++i)
        setReg(ids[i], (garbage() & 0xFFFF0000u) | low[i]);
    for (int id : {UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP})
        setReg(id, garbage());
}

// --- memory and registers, for the stubs ---

uint32_t EmulatedImage::reg(int id) const
{
    uint32_t value = 0;
    uc_reg_read(uc_, id, &value);
    return value;
}

void EmulatedImage::setReg(int id, uint32_t value)
{
    uc_reg_write(uc_, id, &value);
}

uint32_t EmulatedImage::arg(int n)
{
    return read32(reg(UC_X86_REG_ESP) + 4 + 4 * static_cast<uint32_t>(n));
}

bool EmulatedImage::insideImageCode(uint32_t address) const
{
    for (const PeSection& section : image_.sections) {
        if (section.executable && address >= image_.base + section.rva &&
            address < image_.base + section.rva + section.size) {
            return true;
        }
    }
    return false;
}

namespace {

bool Inside(uint32_t address, uint32_t length, uint64_t start, uint64_t size)
{
    return address >= start && uint64_t{address} + length <= start + size;
}

} // namespace

bool EmulatedImage::readableByDriver(uint32_t address, uint32_t length) const
{
    if (Inside(address, length, image_.base, image_.memory.size()) ||
        Inside(address, length, kStackTop - kStackSize, kStackSize) ||
        Inside(address, length, kObjectArea, kObjectAreaSize)) {
        return true;
    }
    auto mapping = mappings_.upper_bound(address);
    if (mapping != mappings_.begin() &&
        Inside(address, length, std::prev(mapping)->first, std::prev(mapping)->second.length)) {
        return true;
    }
    return request_ != nullptr &&
           Inside(address, length, reinterpret_cast<uintptr_t>(request_->system.buffer), request_->system.size);
}

bool EmulatedImage::writableByDriver(uint32_t address, uint32_t length) const
{
    for (const PeSection& section : image_.sections) {
        if (section.writable && Inside(address, length, image_.base + section.rva, section.size)) return true;
    }
    return Inside(address, length, kStackTop - kStackSize, kStackSize) ||
           Inside(address, length, kObjectArea, kObjectAreaSize) ||
           (request_ != nullptr &&
            Inside(address, length, reinterpret_cast<uintptr_t>(request_->system.buffer), request_->system.size));
}

uint8_t EmulatedImage::readByte(uint32_t address)
{
    if (!readableByDriver(address, 1)) stop("a service read " + Hex(address) + " for the driver, outside its memory");
    uint8_t value = 0;
    uc_mem_read(uc_, address, &value, 1);
    return value;
}

uint16_t EmulatedImage::read16(uint32_t address)
{
    return static_cast<uint16_t>(readByte(address) | readByte(address + 1) << 8);
}

uint32_t EmulatedImage::read32(uint32_t address)
{
    return uint32_t{read16(address)} | uint32_t{read16(address + 2)} << 16;
}

void EmulatedImage::write(uint32_t address, const void* bytes, uint32_t length)
{
    if (!writableByDriver(address, length)) {
        stop("a service wrote " + std::to_string(length) + " bytes at " + Hex(address) +
             " for the driver, outside "
             "its writable memory");
    }
    uc_mem_write(uc_, address, bytes, length);
}

void EmulatedImage::write16(uint32_t address, uint16_t value)
{
    const uint8_t bytes[] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    write(address, bytes, 2);
}

void EmulatedImage::write32(uint32_t address, uint32_t value)
{
    write16(address, static_cast<uint16_t>(value));
    write16(address + 2, static_cast<uint16_t>(value >> 16));
}

std::wstring EmulatedImage::unicodeString(uint32_t address)
{
    using namespace nt32;
    if (address == 0) stop("null UNICODE_STRING passed to the I/O manager");
    const uint16_t length = read16(address + UnicodeString::Length);
    const uint16_t maximum = read16(address + UnicodeString::MaximumLength);
    const uint32_t buffer = read32(address + UnicodeString::Buffer);
    if (buffer == 0 || length % 2 != 0 || length > maximum) {
        stop("malformed UNICODE_STRING (Length " + std::to_string(length) + ", MaximumLength " +
             std::to_string(maximum) + ")");
    }
    std::wstring text;
    for (uint32_t i = 0; i < length; i += 2)
        text += static_cast<wchar_t>(read16(buffer + i));
    return text;
}

uint32_t EmulatedImage::allocateObject(uint32_t size)
{
    const uint32_t address = kObjectArea + objectsUsed_;
    objectsUsed_ += (size + 7) & ~7u;
    if (objectsUsed_ > kObjectAreaSize) stop("the emulated kernel's object area is exhausted");
    return address;
}

void EmulatedImage::stop(const std::string& what)
{
    BugCheck("%s", what.c_str());
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
