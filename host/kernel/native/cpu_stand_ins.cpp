// What the x86 port instructions of port_io_x86.cpp do in zerlo.sys, for the
// native image: the simulated notebook answers.
#include "../../../src/fan/port_io.h"
#include "../../machine/machine.h"
#include "../kernel_services.h"

namespace {

zhost::Machine& Current()
{
    return zhost::KernelServices::Booted("a port was accessed").machine();
}

} // namespace

extern "C" {

UCHAR PortReadByte(USHORT port)
{
    return Current().portRead(port);
}

void PortWriteByte(USHORT port, UCHAR value)
{
    Current().portWrite(port, value);
}

void SmmTrigger(SmiRegisters* registers)
{
    const zhost::CpuRegisters in{registers->ax, registers->bx, registers->cx, registers->dx};
    const zhost::CpuRegisters out = Current().smmTrigger(in);
    *registers = {out.ax, out.bx, out.cx, out.dx};
}

} // extern "C"
