// The NT names that the driver calls, forwarded to the booted host kernel
// and the simulated machine.
#include "../../src/fan/port_io.h"
#include "kernel.h"

#include <cstdio>
#include <string>
#include <vector>

using zhost::BugCheck;
using zhost::Kernel;

namespace {

Kernel& Current()
{
    Kernel* kernel = Kernel::current();
    if (kernel == nullptr) BugCheck("a kernel service was called with no kernel booted");
    return *kernel;
}

} // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    return Current().createDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                                  Exclusive, DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Current().deleteDevice(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return Current().createSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return Current().deleteSymbolicLink(SymbolicLinkName);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    if (PriorityBoost != IO_NO_INCREMENT) BugCheck("request completed with a priority boost");
    Current().completeRequest(Irp);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    const size_t length = SourceString ? wcslen(SourceString) * sizeof(WCHAR) : 0;
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length + sizeof(WCHAR) : 0);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType)
{
    return Current().mapIoSpace(PhysicalAddress, NumberOfBytes, CacheType);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    Current().unmapIoSpace(BaseAddress, NumberOfBytes);
}

ULONG DbgPrint(const char* Format, ...)
{
    va_list args;
    va_start(args, Format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, Format, copy);
    va_end(copy);
    std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, Format, args);
    va_end(args);
    Current().debugPrint(text);
    return STATUS_SUCCESS;
}

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    pthread_mutex_init(&FastMutex->Mutex, nullptr);
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    pthread_mutex_lock(&FastMutex->Mutex);
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    pthread_mutex_unlock(&FastMutex->Mutex);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    // A piece that fits is formatted once, in place, as ntoskrnl does.
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(buffer, count, format, copy);
    va_end(copy);
    if (length < 0) return -1;
    if (static_cast<size_t>(length) < count) return length;
    // As ntoskrnl does it: a cut text fills all `count` bytes and has no
    // terminator (vsnprintf left one in the last byte).
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    std::memcpy(buffer, text.data(), count);
    return static_cast<size_t>(length) == count ? length : -1;
}

UCHAR PortReadByte(USHORT port)
{
    return Current().machine().portRead(port);
}

void PortWriteByte(USHORT port, UCHAR value)
{
    Current().machine().portWrite(port, value);
}

void SmmTrigger(SmiRegisters* registers)
{
    const zhost::CpuRegisters in{registers->ax, registers->bx, registers->cx, registers->dx};
    const zhost::CpuRegisters out = Current().machine().smmTrigger(in);
    *registers = {out.ax, out.bx, out.cx, out.dx};
}

} // extern "C"
