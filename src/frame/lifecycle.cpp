// Start, open/close and unload. Runs at PASSIVE_LEVEL: DriverEntry and
// unload alone, open/close on the caller's thread beside other requests.
#include "../firmware/mapping_registry.h"
#include "driver.h"

#include "../firmware/smbios_access.h"

extern "C" {
PUCHAR BiosWindow;
FAST_MUTEX RequestLock;
}

namespace {

void UnmapBiosWindow()
{
    if (BiosWindow != nullptr) {
        MmUnmapIoSpace(BiosWindow, BIOS_WINDOW_LENGTH);
        BiosWindow = nullptr;
    }
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    // A failed mapping is not fatal: the fan requests need no firmware
    // memory, and the firmware reports say what is missing.
    PHYSICAL_ADDRESS window;
    window.QuadPart = BIOS_WINDOW_PHYSICAL;
    BiosWindow = static_cast<PUCHAR>(MmMapIoSpace(window, BIOS_WINDOW_LENGTH, MmNonCached));

    ExInitializeFastMutex(&RequestLock);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = ZerloOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = ZerloOpenClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZerloDispatchControl;
    DriverObject->DriverUnload = ZerloUnload;

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, ZERLO_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, ZERLO_LINK_NAME);

    // Without FILE_DEVICE_SECURE_OPEN NT checks the device's security only
    // for an open of the device itself, and leaves an open of a name below
    // it (\\.\ZerloDev\x) to the driver: any caller would reach the fans.
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Zerlo: Can't create device object !\n");
        // NT never calls unload after a failed start, so whatever was
        // acquired is released here or never.
        UnmapBiosWindow();
        return status;
    }

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Zerlo: Can't create link\n");
        IoDeleteDevice(device);
        UnmapBiosWindow();
        return status;
    }

    device->Flags |= DO_BUFFERED_IO;

    DbgPrint("Zerlo: DriverEntry successful\n");
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZerloOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    DbgPrint("Zerlo: Open / Close\n");
    // The device has no namespace: a name below it names nothing, and the
    // caller sees the same "file not found" as for a device that is absent.
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_CREATE && stack->FileObject->FileName.Length != 0) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

extern "C" VOID NTAPI ZerloUnload(PDRIVER_OBJECT DriverObject)
{
    DbgPrint("Zerlo: Entering unload function\n");

    // The registry borrows the window as its first row: it is emptied
    // before the window goes.
    RegistryReleaseAll();
    UnmapBiosWindow();
    SmbiosReleaseTableMapping();

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, ZERLO_LINK_NAME);
    if (!NT_SUCCESS(IoDeleteSymbolicLink(&linkName))) {
        // The device stays: deleting it while a name still leads to it would
        // let user mode open a dangling object.
        DbgPrint("Zerlo: Can't remove link\n");
    } else {
        DbgPrint("Zerlo: Link removed\n");
        IoDeleteDevice(DriverObject->DeviceObject);
    }

    DbgPrint("Zerlo: End of unload\n");
}
