// What the deliberately faulty drivers of the kernels' own tests share: the
// correct parts around their faults. Their names are external, so that the
// linker's map names them in a stop.
#pragma once

#include "../src/frame/kernel.h"

extern "C" {

inline int Print(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return written;
}

inline NTSTATUS NTAPI Complete(PIRP irp, NTSTATUS status, ULONG information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI OpenClose(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The device and its link, with `control` for device-control requests. NT
// calls no unload of a driver whose start failed, so a failed link takes
// the device with it.
inline NTSTATUS StartDevice(PDRIVER_OBJECT driver, PDRIVER_DISPATCH control, PDRIVER_UNLOAD unload, PWSTR deviceName,
                            PWSTR linkName, PDEVICE_OBJECT* device)
{
    driver->MajorFunction[IRP_MJ_CREATE] = OpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = OpenClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
    driver->DriverUnload = unload;
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, deviceName);
    RtlInitUnicodeString(&link, linkName);
    const NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    const NTSTATUS linked = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(linked)) IoDeleteDevice(*device);
    return linked;
}

inline void StopDevice(PWSTR linkName, PDEVICE_OBJECT device)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
}

} // extern "C"
