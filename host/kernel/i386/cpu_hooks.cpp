// What the guest CPU reports that reaches outside the image: the int3 of an
// import's stub, `in` and `out` to the simulated notebook's ports with the
// SMI gate among them, and every access the driver's memory checks watch.
// A fault stops the run; the call into the driver then stops the kernel.
#include "emulated_image.h"
#include "guest_memory.h"

namespace zhost::i386 {

void EmulatedImage::fault(const std::string& what)
{
    fault_ = what;
    cpu_.stop();
}

void EmulatedImage::failed(const std::string& hook, const std::string& why)
{
    fault_ = "the emulated kernel failed in its " + hook + " hook" + (why.empty() ? "" : " (" + why + ")") + ", at " +
             where(cpu_.lastInstruction());
}

uint32_t EmulatedImage::in(uint32_t port, int size)
{
    uint32_t value = 0;
    for (int i = 0; i < size; ++i)
        value |= uint32_t{services_.machine().portRead(static_cast<uint16_t>(port + i))} << (8 * i);
    return value;
}

// The mapping arena and the pool: only what was mapped, and the system
// buffer of the request being dispatched, may be read.
void EmulatedImage::watchedRead(uint32_t address, int size)
{
    if (!readableByDriver(address, static_cast<uint32_t>(size))) {
        fault("read of " + std::to_string(size) + " bytes at " + Hex(address) +
              " outside every mapping and the system buffer, by " + where(cpu_.lastInstruction()));
    }
}

void EmulatedImage::watchedWrite(uint32_t address, int size)
{
    const Request* request = request_;
    const uint32_t buffer = request ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(request->system.buffer)) : 0;
    if (request == nullptr || !Inside(address, static_cast<uint32_t>(size), buffer, request->system.size)) {
        fault("write of " + std::to_string(size) + " bytes at " + Hex(address) + " outside the system buffer, by " +
              where(cpu_.lastInstruction()));
    }
}

void EmulatedImage::invalid(Fault fault, uint32_t address, int size)
{
    std::string what;
    switch (fault) {
    case Fault::WriteProtected:
        what = "write to read-only memory (mapped firmware or the image's code and constants)";
        break;
    case Fault::FetchOutside: what = "execution outside the driver's code"; break;
    case Fault::WriteUnmapped:
    case Fault::ReadUnmapped:
        what = fault == Fault::WriteUnmapped ? "write to unmapped memory" : "read of unmapped memory";
        if (address < kStackTop - kStackSize && address + 64 * 1024u >= kStackTop - kStackSize) {
            what = "kernel stack overflow (12 KiB)";
        }
        break;
    }
    fault_ = what + ": " + std::to_string(size) + " bytes at " + Hex(address) + ", by " + where(cpu_.lastInstruction());
}

// A stub of an import, entered by its int3.
void EmulatedImage::interrupt(uint32_t number)
{
    const uint32_t eip = reg(Reg::Eip);
    // The CPU reports a breakpoint trap with EIP after the int3.
    auto stub = stubs_.find(eip - 1);
    if (number != 3 || stub == stubs_.end()) {
        fault("unexpected interrupt " + std::to_string(number) + " at " + where(eip));
        return;
    }
    const uint32_t caller = read32(reg(Reg::Esp));
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
            fault("out of " + std::to_string(size) + " bytes at port " + Hex(port) + " covers SMI gate port " +
                  Hex(gate) + ", which takes bytes only, at " + where(cpu_.lastInstruction()));
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
    cpu_.read(cpu_.lastInstruction(), code, sizeof code);
    const uint32_t length = code[0] == 0xE6 ? 2 : 1;
    if (!(code[length] == 0xE6 && code[length + 1] == Machine::kPostCodePort)) {
        fault("out to port 0xB2 not directly followed by out %al to port 0x84, at " + where(cpu_.lastInstruction()));
        return;
    }
    const Reg ids[] = {Reg::Eax, Reg::Ebx, Reg::Ecx, Reg::Edx};
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
    for (Reg id : {Reg::Esi, Reg::Edi, Reg::Ebp})
        setReg(id, garbage());
}

} // namespace zhost::i386
