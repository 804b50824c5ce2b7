// The NT names that a native image calls, in the host's types: each reads
// its arguments and hands them to the booted kernel's services, which apply
// NT's rules.
#include "../kernel_services.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

zhost::KernelServices Services()
{
    return zhost::KernelServices::Booted("a kernel service was called");
}

std::wstring NameOf(PUNICODE_STRING name)
{
    Services().checkUnicodeString({name != nullptr, name ? name->Length : USHORT{0},
                                   name ? name->MaximumLength : USHORT{0}, name != nullptr && name->Buffer != nullptr});
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

} // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    (void)Exclusive;
    return Services().createDevice(
        reinterpret_cast<uintptr_t>(DriverObject), NameOf(DeviceName), DeviceType, DeviceCharacteristics, [&] {
            auto* object = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + DeviceExtensionSize));
            object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
            object->DriverObject = DriverObject;
            object->DeviceType = DeviceType;
            object->Characteristics = DeviceCharacteristics;
            object->Flags = DO_DEVICE_INITIALIZING;
            object->DeviceExtension = DeviceExtensionSize ? object + 1 : nullptr;
            *DeviceObject = object;
            return reinterpret_cast<uintptr_t>(object);
        });
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Services().deleteDevice(reinterpret_cast<uintptr_t>(DeviceObject));
    std::free(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return Services().createSymbolicLink(NameOf(SymbolicLinkName), NameOf(DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return Services().deleteSymbolicLink(NameOf(SymbolicLinkName));
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    Services().completeRequest(reinterpret_cast<uintptr_t>(Irp), PriorityBoost, Irp->IoStatus.Status);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    const uint16_t length = Services().unicodeLength(SourceString ? wcslen(SourceString) * sizeof(WCHAR) : 0);
    DestinationString->Length = length;
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length + sizeof(WCHAR) : 0);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType)
{
    (void)CacheType;
    return reinterpret_cast<PVOID>(
        Services().mapIoSpace(static_cast<uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes));
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    Services().unmapIoSpace(reinterpret_cast<uintptr_t>(BaseAddress), NumberOfBytes);
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
    Services().debugPrint(text);
    return STATUS_SUCCESS;
}

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    pthread_mutex_init(&FastMutex->Mutex, nullptr);
    FastMutex->Initialized = 1;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    Services().acquireFastMutex(reinterpret_cast<uintptr_t>(FastMutex), FastMutex->Initialized == 1);
    pthread_mutex_lock(&FastMutex->Mutex);
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    Services().releaseFastMutex(reinterpret_cast<uintptr_t>(FastMutex));
    pthread_mutex_unlock(&FastMutex->Mutex);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    // A text that fits is formatted once, in place, as ntoskrnl does.
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(buffer, count, format, copy);
    va_end(copy);
    if (length < 0) return -1;
    const zhost::FormatCut cut = zhost::CutFormatted(static_cast<size_t>(length), count);
    if (cut.terminated) return cut.result;
    // vsnprintf terminated what it cut; NT's cut text has all its bytes.
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    std::memcpy(buffer, text.data(), cut.bytes);
    return cut.result;
}

} // extern "C"
