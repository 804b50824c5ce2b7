// What the fan code needs of the machine: byte-wide port access and the SMI
// gate. On the target these are x86 instructions (port_io_x86.cpp); on the
// host the simulated notebook answers them.
#pragma once

#include "../frame/kernel.h"

struct SmiRegisters {
    USHORT ax;
    USHORT bx;
    USHORT cx;
    USHORT dx;
};

extern "C" {
UCHAR PortReadByte(USHORT port);
void PortWriteByte(USHORT port, UCHAR value);

// Loads AX..DX from the block, writes AL to port 0xB2 and then the AL of
// that moment to port 0x84, and stores AX..DX as the firmware left them
// back into the block. Every register of the caller survives.
void SmmTrigger(SmiRegisters* registers);
}
