// zerlo.sys on the emulated i386 (guest_cpu.h). The image is mapped from
// its file's bytes with its sections' protections; its imports of
// ntoskrnl.exe and hal.dll land on stubs (services.cpp) that read and write
// their arguments in the emulated 32-bit world and leave NT's rules to the
// kernel's services; `in` and `out` reach the simulated notebook's ports;
// MmMapIoSpace's mappings and the system buffers appear at the addresses
// the memory manager hands out. Whatever would bug-check NT, or reads or
// writes outside what the driver was given, stops the run naming the
// instruction and its function.
#pragma once

#include "../driver_image.h"
#include "../kernel_services.h"
#include "guest_cpu.h"
#include "nt32_layout.h"
#include "pe_image.h"
#include "symbol_map.h"

#include <map>
#include <mutex>

namespace zhost::i386 {

// The emulated address space beside the image and the memory manager's
// ranges.
constexpr uint32_t kLowestImageBase = 0x10000;
constexpr uint32_t kStubPage = 0x7FFE0000;                    // one int3 stub per import
constexpr uint32_t kReturnToKernel = kStubPage + 0xFF0;       // where calls from the kernel return
constexpr uint32_t kInvalidDeviceRequest = kStubPage + 0xFF8; // the I/O manager's default handler
constexpr uint32_t kStackTop = 0x7FFD0000;                    // a kernel stack of XP's 12 KiB
constexpr uint32_t kStackSize = 12 * 1024;
constexpr uint32_t kObjectArea = 0x80000000; // kernel objects: driver, devices, IRPs
constexpr uint32_t kObjectAreaSize = 0x10000;
constexpr uint32_t kFileNameRoom = 512; // bytes of the file object's name

class EmulatedImage;

// One stub of an import, as stub_signature.h's Declare makes it from the
// stub's C signature.
struct ServiceStub {
    const char* module;
    const char* name;
    int popBytes; // what its `ret` pops; -1 when the caller pops (cdecl)
    void (*run)(EmulatedImage& image);
};
const ServiceStub* FindServiceStub(const std::string& module, const std::string& name);

class EmulatedImage final : public DriverImage, private CpuEvents {
  public:
    EmulatedImage(Kernel& kernel, PeImage image, const std::string& mapPath);
    ~EmulatedImage() override;
    bool boot(std::string* error);

    NTSTATUS start() override;
    void unload() override;
    void dispatch(uintptr_t device, Request& request) override;
    void* symbol(const char*) const override { return nullptr; }
    uintptr_t driverObject() const override { return driverObject_; }
    uintptr_t nextDevice(uintptr_t of) override;
    void setNextDevice(uintptr_t of, uintptr_t device) override;
    void mapped(const Mapping& mapping) override;
    void unmapping(const Mapping& mapping) override;

    CallFigures lastCall() const override { return lastCall_; }

    // Between calls: the CPU, the driver's writable memory, the stack, the
    // kernel objects and which mappings the emulated machine sees
    // (emulated_state.cpp).
    std::shared_ptr<const State> saveState() const override;
    void restoreState(const State& state) override;
    // `callback` runs at every basic block the driver's code enters: a
    // fuzzer's coverage of the image.
    void hookBlocks(GuestCpu::BlockCallback callback, void* context);

    // --- for the stubs ---
    KernelServices& services() { return services_; }
    uint32_t reg(Reg reg) const { return cpu_.reg(reg); }
    void setReg(Reg reg, uint32_t value) { cpu_.setReg(reg, value); }
    // The n-th 32-bit argument on the stack (0 = the first, above the
    // return address).
    uint32_t arg(int n);
    // The driver's own reads and writes, done for it by a service: checked
    // as the driver's instructions are, a fault stops the run.
    uint8_t readByte(uint32_t address);
    uint16_t read16(uint32_t address);
    uint32_t read32(uint32_t address);
    void write(uint32_t address, const void* bytes, uint32_t length);
    void write16(uint32_t address, uint16_t value);
    void write32(uint32_t address, uint32_t value);
    std::wstring unicodeString(uint32_t address);
    [[noreturn]] void stop(const std::string& what);
    uint32_t allocateObject(uint32_t size);
    bool insideImageCode(uint32_t address) const;
    bool writableByDriver(uint32_t address, uint32_t length) const;

  private:
    // What the CPU reports (cpu_hooks.cpp).
    void interrupt(uint32_t number) override;
    uint32_t in(uint32_t port, int size) override;
    void out(uint32_t port, int size, uint32_t value) override;
    void watchedRead(uint32_t address, int size) override;
    void watchedWrite(uint32_t address, int size) override;
    void invalid(Fault fault, uint32_t address, int size) override;
    void failed(const std::string& hook, const std::string& why) override;
    void fault(const std::string& what); // stops the run; call() then stops the kernel with `what`
    void smi();
    uint32_t call(uint32_t function, std::initializer_list<uint32_t> args);
    bool readableByDriver(uint32_t address, uint32_t length) const;
    std::string where(uint32_t address) const { return symbols_.describe(address); }

    KernelServices services_;
    PeImage image_;
    SymbolMap symbols_;
    GuestCpu cpu_;
    std::mutex callLock_;                          // one emulated thread at a time
    std::map<uint32_t, Mapping> mappings_;         // by the address handed out
    std::map<uint32_t, const ServiceStub*> stubs_; // by stub address
    uint32_t objectsUsed_ = 0;
    uint32_t driverObject_ = 0;
    uint32_t irp_ = 0;
    uint32_t fileObject_ = 0;    // followed by room for its name
    Request* request_ = nullptr; // being dispatched: its system buffer is the driver's
    std::string fault_;          // set by a hook that stopped the run
    uint64_t smiSequence_ = 0;
    CallFigures lastCall_;
};

} // namespace zhost::i386
