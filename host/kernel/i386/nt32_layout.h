// The 32-bit NT 5.1 layouts of the kernel objects that zerlo.sys reads and
// writes, as byte offsets, from the published structure definitions. The
// emulated kernel builds these objects in the emulated machine's memory; the
// target build checks every offset against the DDK headers the driver is
// compiled with, so a difference between those headers and NT shows.
#pragma once

#include <cstdint>

namespace nt32 {

namespace UnicodeString {
constexpr uint32_t Length = 0x00, MaximumLength = 0x02, Buffer = 0x04, kSize = 0x08;
}

namespace DriverObject {
constexpr uint32_t Type = 0x00, Size = 0x02, DeviceObject = 0x04, Flags = 0x08, DriverStart = 0x0C, DriverSize = 0x10,
                   DriverExtension = 0x18, DriverName = 0x1C, DriverInit = 0x2C, DriverUnload = 0x34,
                   MajorFunction = 0x38, kSize = 0xA8;
}

namespace DeviceObject {
constexpr uint32_t Type = 0x00, Size = 0x02, ReferenceCount = 0x04, DriverObject = 0x08, NextDevice = 0x0C,
                   Flags = 0x1C, Characteristics = 0x20, DeviceExtension = 0x28, DeviceType = 0x2C, StackSize = 0x30,
                   kSize = 0xB8;
}

namespace Irp {
constexpr uint32_t Type = 0x00, Size = 0x02, AssociatedIrp = 0x0C, IoStatus = 0x18, Information = 0x1C,
                   StackCount = 0x22, CurrentLocation = 0x23, CurrentStackLocation = 0x60, kSize = 0x70;
}

namespace IoStackLocation {
constexpr uint32_t MajorFunction = 0x00, OutputBufferLength = 0x04, InputBufferLength = 0x08, IoControlCode = 0x0C,
                   DeviceObject = 0x14, FileObject = 0x18, kSize = 0x24;
}

namespace FileObject {
constexpr uint32_t Type = 0x00, Size = 0x02, DeviceObject = 0x04, FileName = 0x30, kSize = 0x70;
}

namespace Kevent {
constexpr uint32_t Type = 0x00, Size = 0x02, SignalState = 0x04, WaitListHead = 0x08, kSize = 0x10;
}

namespace FastMutex {
constexpr uint32_t Count = 0x00, Owner = 0x04, Contention = 0x08, Event = 0x0C, OldIrql = 0x1C, kSize = 0x20;
}

// Object type codes of the header's Type field.
constexpr uint16_t kIoTypeDevice = 3, kIoTypeDriver = 4, kIoTypeFile = 5, kIoTypeIrp = 6;
constexpr uint8_t kSynchronizationEvent = 1;

} // namespace nt32
