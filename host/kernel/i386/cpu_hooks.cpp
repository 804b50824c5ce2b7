// What the emulated CPU does that reaches outside the image: the int3 of an
// import's stub, `in` and `out` to the simulated notebook's ports with the
// SMI gate among them, and every access the driver's memory checks watch.
#include "emulated_image.h"
#include "guest_memory.h"

namespace zhost::i386 {

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
                value |= uint32_t{image->services_.machine().portRead(static_cast<uint16_t>(port + i))} << (8 * i);
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

bool EmulatedImage::installHooks(uint32_t base, uint32_t size)
{
    uc_hook hook;
    return uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Hooks::code), this, base, base + size - 1) ==
               0 &&
           uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Hooks::interrupt), this, 1, 0) == 0 &&
           uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::in), this, 1, 0, UC_X86_INS_IN) == 0 &&
           uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::out), this, 1, 0, UC_X86_INS_OUT) ==
               0 &&
           uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ, reinterpret_cast<void*>(&Hooks::read), this,
                       MemoryManager::kMappingArenaBase,
                       MemoryManager::kPoolArenaBase + MemoryManager::kPoolArenaSize - 1) == 0 &&
           uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&Hooks::write), this,
                       MemoryManager::kPoolArenaBase,
                       MemoryManager::kPoolArenaBase + MemoryManager::kPoolArenaSize - 1) == 0 &&
           uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Hooks::invalid), this, 1, 0) == 0;
}

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
        services_.machine().portWrite(static_cast<uint16_t>(port + static_cast<uint32_t>(i)),
                                      static_cast<uint8_t>(value >> (8 * i)));
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
    registers = services_.machine().smiCommand(registers);
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

} // namespace zhost::i386
