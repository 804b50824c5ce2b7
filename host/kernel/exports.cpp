// The NT names that a native image calls, in the host's types, forwarded to
// the booted kernel's managers.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>
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

std::wstring NameOf(PUNICODE_STRING name)
{
    if (name == nullptr || name->Buffer == nullptr) BugCheck("null UNICODE_STRING passed to the I/O manager");
    if (name->Length % sizeof(WCHAR) != 0 || name->Length > name->MaximumLength) {
        BugCheck("malformed UNICODE_STRING (Length %u, MaximumLength %u)", name->Length, name->MaximumLength);
    }
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

} // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    (void)Exclusive;
    return Current().createDevice(
        NameOf(DeviceName), DeviceType, DeviceCharacteristics,
        [&] {
            auto* object = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + DeviceExtensionSize));
            object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
            object->DriverObject = DriverObject;
            object->DeviceType = DeviceType;
            object->Characteristics = DeviceCharacteristics;
            object->Flags = DO_DEVICE_INITIALIZING;
            object->DeviceExtension = DeviceExtensionSize ? object + 1 : nullptr;
            object->NextDevice = DriverObject->DeviceObject;
            DriverObject->DeviceObject = object;
            *DeviceObject = object;
            return reinterpret_cast<uintptr_t>(object);
        },
        true);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject == nullptr) BugCheck("IoDeleteDevice on an unknown device object");
    Current().deleteDevice(reinterpret_cast<uintptr_t>(DeviceObject));
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != DeviceObject)
        link = &(*link)->NextDevice;
    *link = DeviceObject->NextDevice;
    std::free(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return Current().createSymbolicLink(NameOf(SymbolicLinkName), NameOf(DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return Current().deleteSymbolicLink(NameOf(SymbolicLinkName));
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    if (PriorityBoost != IO_NO_INCREMENT) BugCheck("request completed with a priority boost");
    auto* record = reinterpret_cast<zhost::IrpRecord*>(Irp);
    if (++record->completions > 1) BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS");
    if (Irp->IoStatus.Status == -1) BugCheck("request completed without a status");
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
    (void)CacheType;
    return reinterpret_cast<PVOID>(
        Current().mapIoSpace(static_cast<uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes));
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    Current().unmapIoSpace(reinterpret_cast<uintptr_t>(BaseAddress), NumberOfBytes);
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
    FastMutex->Initialized = 1;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    if (FastMutex->Initialized != 1) zhost::BugCheck("ExAcquireFastMutex on a FAST_MUTEX never initialised");
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

} // extern "C"
