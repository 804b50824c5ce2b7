// The kernel's objects that a call into the driver passes, built in the
// emulated machine's memory at their 32-bit NT offsets: the driver object
// for DriverEntry and Unload, the IRP, its stack location and the file
// object for a dispatch routine.
#include "../bug_check.h"
#include "emulated_image.h"
#include "guest_memory.h"

namespace zhost::i386 {

NTSTATUS EmulatedImage::start()
{
    std::lock_guard lock(callLock_);
    using namespace nt32;
    driverObject_ = allocateObject(DriverObject::kSize);
    write16(driverObject_ + DriverObject::Type, kIoTypeDriver);
    write16(driverObject_ + DriverObject::Size, DriverObject::kSize);
    write32(driverObject_ + DriverObject::DriverStart, image_.base);
    write32(driverObject_ + DriverObject::DriverSize, static_cast<uint32_t>(image_.memory.size()));
    for (uint32_t major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        write32(driverObject_ + DriverObject::MajorFunction + 4 * major, kInvalidDeviceRequest);

    static const std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zerlo";
    const auto bytes = static_cast<uint32_t>(registryPath.size() * 2);
    const uint32_t path = allocateObject(UnicodeString::kSize + bytes + 2);
    write16(path + UnicodeString::Length, static_cast<uint16_t>(bytes));
    write16(path + UnicodeString::MaximumLength, static_cast<uint16_t>(bytes + 2));
    write32(path + UnicodeString::Buffer, path + UnicodeString::kSize);
    write(path + UnicodeString::kSize, registryPath.data(), bytes);
    return static_cast<NTSTATUS>(call(image_.base + image_.entryRva, {driverObject_, path}));
}

void EmulatedImage::unload()
{
    std::lock_guard lock(callLock_);
    const uint32_t routine = read32(driverObject_ + nt32::DriverObject::DriverUnload);
    if (routine == 0) BugCheck("driver cannot be unloaded: no unload routine");
    call(routine, {driverObject_});
}

void EmulatedImage::dispatch(uintptr_t device, Request& request)
{
    std::lock_guard lock(callLock_);
    using namespace nt32;
    const uint32_t routine = read32(driverObject_ + DriverObject::MajorFunction + 4 * request.major);
    const uint32_t buffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(request.system.buffer));
    std::vector<uint8_t> zeros(Irp::kSize + IoStackLocation::kSize, 0);
    write(irp_, zeros.data(), static_cast<uint32_t>(zeros.size()));
    const uint32_t stack = irp_ + Irp::kSize;
    write16(irp_ + Irp::Type, kIoTypeIrp);
    write16(irp_ + Irp::Size, Irp::kSize + IoStackLocation::kSize);
    write32(irp_ + Irp::AssociatedIrp, buffer);
    write32(irp_ + Irp::IoStatus, 0xFFFFFFFF);
    write32(irp_ + Irp::Information, 0xDEADBEEF);
    write(irp_ + Irp::StackCount, "\x01\x01", 2); // StackCount, CurrentLocation
    write32(irp_ + Irp::CurrentStackLocation, stack);
    write(stack + IoStackLocation::MajorFunction, &request.major, 1);
    write32(stack + IoStackLocation::OutputBufferLength, request.outputLength);
    write32(stack + IoStackLocation::InputBufferLength, request.inputLength);
    write32(stack + IoStackLocation::IoControlCode, request.code);
    write32(stack + IoStackLocation::DeviceObject, static_cast<uint32_t>(device));
    write32(stack + IoStackLocation::FileObject, fileObject_);

    const std::u16string name(request.fileName.begin(), request.fileName.end());
    const auto nameBytes = static_cast<uint32_t>(name.size() * 2);
    if (nameBytes > kFileNameRoom - 2) stop("a file name of " + std::to_string(name.size()) + " characters");
    std::vector<uint8_t> file(FileObject::kSize + nameBytes + 2, 0);
    write(fileObject_, file.data(), static_cast<uint32_t>(file.size()));
    write16(fileObject_ + FileObject::Type, kIoTypeFile);
    write16(fileObject_ + FileObject::Size, FileObject::kSize);
    write32(fileObject_ + FileObject::DeviceObject, static_cast<uint32_t>(device));
    write16(fileObject_ + FileObject::FileName + UnicodeString::Length, static_cast<uint16_t>(nameBytes));
    write16(fileObject_ + FileObject::FileName + UnicodeString::MaximumLength, static_cast<uint16_t>(nameBytes + 2));
    write32(fileObject_ + FileObject::FileName + UnicodeString::Buffer, fileObject_ + FileObject::kSize);
    write(fileObject_ + FileObject::kSize, name.data(), nameBytes);

    if (routine == kInvalidDeviceRequest) {
        // The I/O manager's own answer for a function the driver left alone.
        request.returned = request.status = STATUS_INVALID_DEVICE_REQUEST;
        request.information = 0;
        request.completions = 1;
        return;
    }
    const PoolBlock& block = request.system;
    if (block.pages > 0) {
        cpu_.mapHost(static_cast<uint32_t>(block.blockStart), static_cast<uint32_t>(block.pages * kPage),
                     kProtRead | kProtWrite, reinterpret_cast<void*>(block.blockStart));
    }
    request.irp = irp_;
    request_ = &request;
    request.returned = static_cast<NTSTATUS>(call(routine, {static_cast<uint32_t>(device), irp_}));
    request_ = nullptr;
    if (block.pages > 0)
        cpu_.unmap(static_cast<uint32_t>(block.blockStart), static_cast<uint32_t>(block.pages * kPage));
    request.status = static_cast<NTSTATUS>(read32(irp_ + Irp::IoStatus));
    request.information = read32(irp_ + Irp::Information);
}

uintptr_t EmulatedImage::nextDevice(uintptr_t of)
{
    using namespace nt32;
    return of == 0 ? read32(driverObject_ + DriverObject::DeviceObject)
                   : read32(static_cast<uint32_t>(of) + DeviceObject::NextDevice);
}

void EmulatedImage::setNextDevice(uintptr_t of, uintptr_t device)
{
    using namespace nt32;
    write32(of == 0 ? driverObject_ + DriverObject::DeviceObject : static_cast<uint32_t>(of) + DeviceObject::NextDevice,
            static_cast<uint32_t>(device));
}

} // namespace zhost::i386
