// A deliberately faulty driver for the host kernel's NT rules: each control
// code commits one misuse that Windows would bug-check on, so that both
// images are seen to stop on it with the same words. Built from this one
// source as the host's zerlo_misuse_driver.so and the target's
// zerlo_misuse.sys; it maps nothing and touches no port.
#include "../../faulty_driver.h"

namespace {
constexpr ULONG kReplyOffset = 4; // the result of _vsnprintf comes first
PDEVICE_OBJECT Device;
WCHAR DeviceName[] = L"\\Device\\ZerloMisuse";
WCHAR LinkName[] = L"\\DosDevices\\ZerloMisuse";
WCHAR OtherDeviceName[] = L"\\Device\\ZerloMisuse2";
WCHAR MiddleName[] = L"\\Device\\ZerloMisuse3";
WCHAR HeadName[] = L"\\Device\\ZerloMisuse4";
PDRIVER_OBJECT Driver;
} // namespace

// External names, so that the linker's map names them in a stop.
extern "C" {

FAST_MUTEX Lock;
// Zeroed objects the kernel never handed out: a lock nobody initialized,
// a driver object, a request and a device object that are not the kernel's.
FAST_MUTEX NeverInitialized;
DRIVER_OBJECT OtherDriver;
IRP OtherIrp;
DEVICE_OBJECT UnknownDevice;

// Input: the count in the first byte, the format from the second on. The
// format is copied out first, as the reply overwrites it in the one system
// buffer.
NTSTATUS NTAPI PrintInput(PIRP irp, ULONG inputLength, ULONG outputLength)
{
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    if (inputLength < 2 || outputLength < kReplyOffset || buffer[0] > outputLength - kReplyOffset)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    const ULONG count = buffer[0];
    char format[64];
    ULONG length = 0;
    for (; length < sizeof format - 1 && length + 1 < inputLength; ++length)
        format[length] = static_cast<char>(buffer[length + 1]);
    format[length] = 0;
    const auto result =
        static_cast<ULONG>(Print(reinterpret_cast<char*>(buffer + kReplyOffset), count, format, 3, "abcdef"));
    for (ULONG i = 0; i < kReplyOffset; ++i)
        buffer[i] = static_cast<UCHAR>(result >> (8 * i));
    return Complete(irp, STATUS_SUCCESS, kReplyOffset + count);
}

// Not a misuse: two more devices of its own, the older deleted from the
// middle of the driver object's chain and the newer from its head. Each
// reply byte says whether the chain was then what NT leaves.
ULONG DeviceChain(PUCHAR reply)
{
    UNICODE_STRING middleName;
    UNICODE_STRING headName;
    RtlInitUnicodeString(&middleName, MiddleName);
    RtlInitUnicodeString(&headName, HeadName);
    PDEVICE_OBJECT middle = nullptr;
    PDEVICE_OBJECT head = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(Driver, 0, &middleName, FILE_DEVICE_UNKNOWN, 0, FALSE, &middle))) return 0;
    if (!NT_SUCCESS(IoCreateDevice(Driver, 0, &headName, FILE_DEVICE_UNKNOWN, 0, FALSE, &head))) return 0;
    reply[0] = Driver->DeviceObject == head && head->NextDevice == middle && middle->NextDevice == Device;
    IoDeleteDevice(middle);
    reply[1] = Driver->DeviceObject == head && head->NextDevice == Device && Device->NextDevice == nullptr;
    IoDeleteDevice(head);
    reply[2] = Driver->DeviceObject == Device && Device->NextDevice == nullptr;
    return 3;
}

// Codes are buffered, any access, numbered in bits 2 and up; each but 14
// and 15 commits one misuse and otherwise answers as a correct driver would.
NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode >> 2) {
    case 1: ExReleaseFastMutex(&Lock); return Complete(irp, STATUS_SUCCESS, 0);
    case 2: ExAcquireFastMutex(&Lock); return Complete(irp, STATUS_SUCCESS, 0);
    case 3:
        ExAcquireFastMutex(&Lock);
        ExAcquireFastMutex(&Lock);
        ExReleaseFastMutex(&Lock);
        ExReleaseFastMutex(&Lock);
        return Complete(irp, STATUS_SUCCESS, 0);
    case 4:
        ExAcquireFastMutex(&NeverInitialized);
        ExReleaseFastMutex(&NeverInitialized);
        return Complete(irp, STATUS_SUCCESS, 0);
    case 5: {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, OtherDeviceName);
        PDEVICE_OBJECT other = nullptr;
        const NTSTATUS status = IoCreateDevice(&OtherDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &other);
        return Complete(irp, status, 0);
    }
    case 6: Complete(irp, STATUS_SUCCESS, 0); return Complete(irp, STATUS_SUCCESS, 0);
    case 7:
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, 2);
        return STATUS_SUCCESS;
    case 8:
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case 9: IoCompleteRequest(&OtherIrp, IO_NO_INCREMENT); return Complete(irp, STATUS_SUCCESS, 0);
    case 10: {
        UNICODE_STRING link;
        UNICODE_STRING name;
        RtlInitUnicodeString(&link, LinkName);
        RtlInitUnicodeString(&name, DeviceName);
        link.Length = 3;
        link.MaximumLength = 8;
        return Complete(irp, IoCreateSymbolicLink(&link, &name), 0);
    }
    case 11: return Complete(irp, IoDeleteSymbolicLink(nullptr), 0);
    case 12: IoDeleteDevice(&UnknownDevice); return Complete(irp, STATUS_SUCCESS, 0);
    case 13: return STATUS_SUCCESS;
    case 14:
        return PrintInput(irp, stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength);
    case 15: return Complete(irp, STATUS_SUCCESS, DeviceChain(static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer)));
    default: return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    StopDevice(LinkName, Device);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    ExInitializeFastMutex(&Lock);
    Driver = driver;
    return StartDevice(driver, Control, Unload, DeviceName, LinkName, &Device);
}

} // extern "C"
