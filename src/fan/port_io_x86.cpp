// The machine's side of the fan code: x86 port instructions at kernel
// privilege. Compiled for the target only.
#include "port_io.h"

extern "C" UCHAR PortReadByte(USHORT port)
{
    UCHAR value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}

extern "C" void PortWriteByte(USHORT port, UCHAR value)
{
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port) : "memory");
}

// The firmware's SMI handler may change any register, so all general
// registers are saved and restored around the call. The block's address
// travels in ESI and is kept on the stack across the SMI, because ESI itself
// may come back changed. Nothing runs between the two port writes: some
// handlers only latch the function on 0xB2 and act on the 0x84 write.
extern "C" void SmmTrigger(SmiRegisters* registers)
{
    __asm__ __volatile__("pushal\n\t"
                         "pushl %%esi\n\t"
                         "movw 0(%%esi), %%ax\n\t"
                         "movw 2(%%esi), %%bx\n\t"
                         "movw 4(%%esi), %%cx\n\t"
                         "movw 6(%%esi), %%dx\n\t"
                         "outb %%al, $0xb2\n\t"
                         "outb %%al, $0x84\n\t"
                         "popl %%esi\n\t"
                         "movw %%ax, 0(%%esi)\n\t"
                         "movw %%bx, 2(%%esi)\n\t"
                         "movw %%cx, 4(%%esi)\n\t"
                         "movw %%dx, 6(%%esi)\n\t"
                         "popal"
                         :
                         : "S"(registers)
                         : "memory", "cc");
}
