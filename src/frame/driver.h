// Driver-wide state of the frame and the entry points that the I/O manager
// calls. Everything here lives from DriverEntry to unload.
#pragma once

#include "kernel.h"
#include "zerlo_ioctl.h"

constexpr ULONG BIOS_WINDOW_PHYSICAL = 0xE0000;
constexpr ULONG BIOS_WINDOW_LENGTH = 0x20000;

// Virtual address of physical 0xE0000..0xFFFFF, or null when the mapping
// failed at start. Read by the firmware code; changed only by start and
// unload.
extern "C" PUCHAR BiosWindow;

// Held over the work of every control request: the operations share
// driver-wide state and drive index/data port pairs and SMIs that must not
// interleave. A fast mutex (ExAcquireFastMutex/ExReleaseFastMutex, exported
// by XP's hal.dll) because requests arrive at PASSIVE_LEVEL on the caller's
// thread and may wait; it raises to APC_LEVEL, so the holder cannot be
// suspended halfway through an index/data pair, and MmMapIoSpace is still
// allowed there.
extern "C" FAST_MUTEX RequestLock;

extern "C" {
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI ZerloOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI ZerloDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI ZerloUnload(PDRIVER_OBJECT DriverObject);
}
