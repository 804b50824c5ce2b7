// Compiled by the target build only: the emulated kernel's NT 5.1 offsets
// against the structures of the DDK headers that zerlo.sys is built with.
#include "../../src/frame/kernel.h"

#include "../../host/kernel/i386/nt32_layout.h"

#include <stddef.h>

#define ZERLO_SAME(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
#define ZERLO_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof " #type)

ZERLO_SAME(UNICODE_STRING, Length, nt32::UnicodeString::Length);
ZERLO_SAME(UNICODE_STRING, MaximumLength, nt32::UnicodeString::MaximumLength);
ZERLO_SAME(UNICODE_STRING, Buffer, nt32::UnicodeString::Buffer);
ZERLO_SIZE(UNICODE_STRING, nt32::UnicodeString::kSize);

ZERLO_SAME(DRIVER_OBJECT, Type, nt32::DriverObject::Type);
ZERLO_SAME(DRIVER_OBJECT, Size, nt32::DriverObject::Size);
ZERLO_SAME(DRIVER_OBJECT, DeviceObject, nt32::DriverObject::DeviceObject);
ZERLO_SAME(DRIVER_OBJECT, Flags, nt32::DriverObject::Flags);
ZERLO_SAME(DRIVER_OBJECT, DriverStart, nt32::DriverObject::DriverStart);
ZERLO_SAME(DRIVER_OBJECT, DriverSize, nt32::DriverObject::DriverSize);
ZERLO_SAME(DRIVER_OBJECT, DriverExtension, nt32::DriverObject::DriverExtension);
ZERLO_SAME(DRIVER_OBJECT, DriverName, nt32::DriverObject::DriverName);
ZERLO_SAME(DRIVER_OBJECT, DriverInit, nt32::DriverObject::DriverInit);
ZERLO_SAME(DRIVER_OBJECT, DriverUnload, nt32::DriverObject::DriverUnload);
ZERLO_SAME(DRIVER_OBJECT, MajorFunction, nt32::DriverObject::MajorFunction);
ZERLO_SIZE(DRIVER_OBJECT, nt32::DriverObject::kSize);

ZERLO_SAME(DEVICE_OBJECT, Type, nt32::DeviceObject::Type);
ZERLO_SAME(DEVICE_OBJECT, Size, nt32::DeviceObject::Size);
ZERLO_SAME(DEVICE_OBJECT, ReferenceCount, nt32::DeviceObject::ReferenceCount);
ZERLO_SAME(DEVICE_OBJECT, DriverObject, nt32::DeviceObject::DriverObject);
ZERLO_SAME(DEVICE_OBJECT, NextDevice, nt32::DeviceObject::NextDevice);
ZERLO_SAME(DEVICE_OBJECT, Flags, nt32::DeviceObject::Flags);
ZERLO_SAME(DEVICE_OBJECT, Characteristics, nt32::DeviceObject::Characteristics);
ZERLO_SAME(DEVICE_OBJECT, DeviceExtension, nt32::DeviceObject::DeviceExtension);
ZERLO_SAME(DEVICE_OBJECT, DeviceType, nt32::DeviceObject::DeviceType);
ZERLO_SAME(DEVICE_OBJECT, StackSize, nt32::DeviceObject::StackSize);
ZERLO_SIZE(DEVICE_OBJECT, nt32::DeviceObject::kSize);

ZERLO_SAME(FILE_OBJECT, Type, nt32::FileObject::Type);
ZERLO_SAME(FILE_OBJECT, Size, nt32::FileObject::Size);
ZERLO_SAME(FILE_OBJECT, DeviceObject, nt32::FileObject::DeviceObject);
ZERLO_SAME(FILE_OBJECT, FileName, nt32::FileObject::FileName);
// The DDK's FILE_OBJECT has the fields of later NT versions at its end.

ZERLO_SAME(IRP, Type, nt32::Irp::Type);
ZERLO_SAME(IRP, Size, nt32::Irp::Size);
ZERLO_SAME(IRP, AssociatedIrp.SystemBuffer, nt32::Irp::AssociatedIrp);
ZERLO_SAME(IRP, IoStatus.Status, nt32::Irp::IoStatus);
ZERLO_SAME(IRP, IoStatus.Information, nt32::Irp::Information);
ZERLO_SAME(IRP, StackCount, nt32::Irp::StackCount);
ZERLO_SAME(IRP, CurrentLocation, nt32::Irp::CurrentLocation);
ZERLO_SAME(IRP, Tail.Overlay.CurrentStackLocation, nt32::Irp::CurrentStackLocation);
ZERLO_SIZE(IRP, nt32::Irp::kSize);

ZERLO_SAME(IO_STACK_LOCATION, MajorFunction, nt32::IoStackLocation::MajorFunction);
ZERLO_SAME(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, nt32::IoStackLocation::OutputBufferLength);
ZERLO_SAME(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, nt32::IoStackLocation::InputBufferLength);
ZERLO_SAME(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, nt32::IoStackLocation::IoControlCode);
ZERLO_SAME(IO_STACK_LOCATION, DeviceObject, nt32::IoStackLocation::DeviceObject);
ZERLO_SAME(IO_STACK_LOCATION, FileObject, nt32::IoStackLocation::FileObject);
ZERLO_SIZE(IO_STACK_LOCATION, nt32::IoStackLocation::kSize);

ZERLO_SAME(KEVENT, Header.Type, nt32::Kevent::Type);
ZERLO_SAME(KEVENT, Header.Size, nt32::Kevent::Size);
ZERLO_SAME(KEVENT, Header.SignalState, nt32::Kevent::SignalState);
ZERLO_SAME(KEVENT, Header.WaitListHead, nt32::Kevent::WaitListHead);
ZERLO_SIZE(KEVENT, nt32::Kevent::kSize);

ZERLO_SAME(FAST_MUTEX, Count, nt32::FastMutex::Count);
ZERLO_SAME(FAST_MUTEX, Owner, nt32::FastMutex::Owner);
ZERLO_SAME(FAST_MUTEX, Contention, nt32::FastMutex::Contention);
ZERLO_SAME(FAST_MUTEX, Event, nt32::FastMutex::Event);
ZERLO_SAME(FAST_MUTEX, OldIrql, nt32::FastMutex::OldIrql);
ZERLO_SIZE(FAST_MUTEX, nt32::FastMutex::kSize);
