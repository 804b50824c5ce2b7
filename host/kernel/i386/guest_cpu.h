// The emulated i386 itself: 32-bit protected mode with flat segments and no
// paging, over Unicorn. It holds registers and memory regions, runs code
// until a return address is reached, counts the instructions of the watched
// code and reports what reaches outside the guest (interrupts, ports,
// watched and invalid memory accesses) to its owner. Nothing else in the
// kernel sees Unicorn.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zhost::i386 {

// An address in the emulated machine's memory, never a host pointer.
struct GuestAddress {
    uint32_t value = 0;
    constexpr operator uint32_t() const { return value; }
};

enum class Reg { Eax, Ebx, Ecx, Edx, Esi, Edi, Ebp, Esp, Eip, Eflags };

// Region protections, combined with |.
constexpr uint32_t kProtRead = 1;
constexpr uint32_t kProtWrite = 2;
constexpr uint32_t kProtExec = 4;

enum class Fault { WriteProtected, FetchOutside, WriteUnmapped, ReadUnmapped };

// What the CPU reports while it runs. Each handler may call stop() on the
// CPU; an exception that escapes one stops the run as well (it must not
// unwind through the emulator's C frames) and is reported to `failed`.
class CpuEvents {
  public:
    virtual void interrupt(uint32_t number) = 0;
    virtual uint32_t in(uint32_t port, int size) = 0;
    virtual void out(uint32_t port, int size, uint32_t value) = 0;
    // Accesses inside the watched ranges, before they happen.
    virtual void watchedRead(uint32_t address, int size) = 0;
    virtual void watchedWrite(uint32_t address, int size) = 0;
    // An access the memory map refuses; the run stops after it.
    virtual void invalid(Fault fault, uint32_t address, int size) = 0;
    virtual void failed(const std::string& hook, const std::string& why) = 0;

  protected:
    ~CpuEvents() = default;
};

// The address ranges whose events are reported, inclusive of both ends.
struct CpuWatch {
    uint32_t codeFirst, codeLast;   // instructions counted
    uint32_t readFirst, readLast;   // watchedRead
    uint32_t writeFirst, writeLast; // watchedWrite
};

class GuestCpu {
  public:
    GuestCpu();
    ~GuestCpu();
    GuestCpu(const GuestCpu&) = delete;
    GuestCpu& operator=(const GuestCpu&) = delete;

    bool open(std::string* error);
    bool attach(CpuEvents& events, const CpuWatch& watch);

    // The guest's memory map. mapHost shows host memory at the same
    // guest address, without a copy.
    bool map(uint32_t address, uint32_t size, uint32_t protection);
    bool mapHost(uint32_t address, uint32_t size, uint32_t protection, void* host);
    void unmap(uint32_t address, uint32_t size);
    bool protect(uint32_t address, uint32_t size, uint32_t protection);

    // Unchecked: the owner checks what the driver may reach.
    bool read(uint32_t address, void* bytes, uint32_t length) const;
    bool write(uint32_t address, const void* bytes, uint32_t length);

    uint32_t reg(Reg reg) const;
    void setReg(Reg reg, uint32_t value);

    // Runs from `begin` until EIP reaches `until`, or stop() is called, or
    // the emulator fails: "" or the emulator's reason.
    std::string run(uint32_t begin, uint32_t until);
    void stop();
    uint64_t instructions() const { return instructions_; }
    uint32_t lastInstruction() const { return lastInstruction_; }
    void setCount(uint64_t instructions, uint32_t lastInstruction)
    {
        instructions_ = instructions;
        lastInstruction_ = lastInstruction;
    }

    // `callback` runs at every basic block entered in [first, last].
    using BlockCallback = void (*)(uint32_t address, uint32_t size, void* context);
    bool hookBlocks(uint32_t first, uint32_t last, BlockCallback callback, void* context);

    // The whole CPU state, for a snapshot; compared by its registers.
    struct Context {
        std::shared_ptr<void> opaque;
        std::vector<uint32_t> registers;
        bool operator==(const Context& other) const { return registers == other.registers; }
    };
    Context save() const;
    bool restore(const Context& context);

  private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
    uint64_t instructions_ = 0;
    uint32_t lastInstruction_ = 0;
};

} // namespace zhost::i386
