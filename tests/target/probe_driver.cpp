// A deliberately faulty i686 driver for the emulated kernel's own tests:
// each control code commits one fault that the emulator must stop, so that
// its checks are seen to work without breaking zerlo.sys. Built by the
// target preset as zerlo_probe.sys.
#include "../faulty_driver.h"

namespace {
constexpr ULONG kMappedLength = 16;
PUCHAR Mapping;
PDEVICE_OBJECT Device;
WCHAR DeviceName[] = L"\\Device\\ZerloProbe";
WCHAR LinkName[] = L"\\DosDevices\\ZerloProbe";
} // namespace

// External names, so that the linker's map names them in a stop.
extern "C" {

// SmmTrigger without saving what the firmware may change.
__attribute__((noinline)) void UnsavedSmmTrigger(USHORT* registers)
{
    __asm__ __volatile__("movw 0(%%esi), %%ax\n\t"
                         "movw 2(%%esi), %%bx\n\t"
                         "outb %%al, $0xb2\n\t"
                         "outb %%al, $0x84\n\t"
                         :
                         : "S"(registers)
                         : "eax", "memory", "cc");
}

// A write to the SMI gate wider than a byte: 16 bits to 0xB2 or 32 to 0x84.
__attribute__((noinline)) void WideGateWrite(USHORT which)
{
    if (which == 0) {
        __asm__ __volatile__("outw %%ax, $0xb2" : : "a"(0x02A3));
    } else {
        __asm__ __volatile__("outl %%eax, $0x84" : : "a"(0));
    }
}

// The input's text as a format of _vsnprintf, with the arguments 3,
// "abcdef", -42 and 0xBEEF, into the reply.
__attribute__((noinline)) ULONG PrintInput(PUCHAR buffer)
{
    char format[64];
    for (ULONG i = 0; i < sizeof format; ++i)
        format[i] = static_cast<char>(buffer[i]);
    format[sizeof format - 1] = 0;
    return static_cast<ULONG>(Print(reinterpret_cast<char*>(buffer), 64, format, 3, "abcdef", -42, 0xBEEF));
}

__attribute__((noinline)) ULONG Recurse(volatile UCHAR* previous, ULONG depth)
{
    volatile UCHAR frame[512];
    frame[0] = previous ? previous[0] : 1;
    return depth == 0 ? frame[0] : Recurse(frame, depth - 1) + frame[0];
}

// Codes are buffered, any access, numbered in bits 2 and up. 1: read the mapping's byte at the offset in the input's
// first word. 2: call the SMI gate without saving registers. 3: write to the mapping. 4: recurse through 512-byte
// frames, as many as the input says. 5: write wider than a byte to the SMI gate. 6: format the input's text.
NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    const USHORT argument = static_cast<USHORT>(buffer[0] | buffer[1] << 8);
    switch (stack->Parameters.DeviceIoControl.IoControlCode >> 2) {
    case 1: buffer[0] = Mapping[argument]; return Complete(irp, STATUS_SUCCESS, 1);
    case 2: {
        USHORT registers[2] = {0x02A3, 1};
        UnsavedSmmTrigger(registers);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    case 3: const_cast<volatile UCHAR*>(Mapping)[argument] = 0; return Complete(irp, STATUS_SUCCESS, 0);
    case 4: buffer[0] = static_cast<UCHAR>(Recurse(nullptr, argument)); return Complete(irp, STATUS_SUCCESS, 1);
    case 5: WideGateWrite(argument); return Complete(irp, STATUS_SUCCESS, 0);
    case 6: return Complete(irp, STATUS_SUCCESS, PrintInput(buffer));
    default: return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    StopDevice(LinkName, Device);
    MmUnmapIoSpace(Mapping, kMappedLength);
}

} // extern "C"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0xF0000;
    Mapping = static_cast<PUCHAR>(MmMapIoSpace(address, kMappedLength, MmNonCached));
    return StartDevice(driver, Control, Unload, DeviceName, LinkName, &Device);
}
