// The kernel's exports that zerlo.sys imports, as the emulated i386 calls
// them. Each is declared by its C signature (stub_signature.h reads the
// arguments and derives what `ret` pops), reads and writes the structures
// its arguments point to at their 32-bit offsets, and hands the rest to the
// kernel's services, which apply NT's rules.
#include "emulated_image.h"
#include "guest_format.h"
#include "stub_signature.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace zhost::i386 {

namespace {

using namespace nt32;

// --- ntoskrnl.exe ---

NTSTATUS DbgPrint(EmulatedImage& image, GuestAddress format, VarArgs args)
{
    image.services().debugPrint(Format(image, format, args.address));
    return STATUS_SUCCESS;
}

NTSTATUS IoCreateDevice(EmulatedImage& image, GuestAddress driver, uint32_t extension, GuestAddress name, uint32_t type,
                        uint32_t characteristics, uint8_t exclusive, GuestAddress result)
{
    (void)exclusive;
    if (!image.writableByDriver(result, 4)) image.stop("IoCreateDevice with no place for the device object");
    const NTSTATUS status =
        image.services().createDevice(driver, image.unicodeString(name), type, characteristics, [&] {
            const uint32_t object = image.allocateObject(DeviceObject::kSize + extension);
            image.write16(object + DeviceObject::Type, kIoTypeDevice);
            image.write16(object + DeviceObject::Size, static_cast<uint16_t>(DeviceObject::kSize + extension));
            image.write32(object + DeviceObject::DriverObject, driver);
            image.write32(object + DeviceObject::Flags, DO_DEVICE_INITIALIZING);
            image.write32(object + DeviceObject::Characteristics, characteristics);
            image.write32(object + DeviceObject::DeviceExtension, extension ? object + DeviceObject::kSize : 0);
            image.write32(object + DeviceObject::DeviceType, type);
            image.write32(object + DeviceObject::StackSize, 1);
            image.write32(result, object);
            return uintptr_t{object};
        });
    return status;
}

void IoDeleteDevice(EmulatedImage& image, GuestAddress device)
{
    image.services().deleteDevice(device);
}

NTSTATUS IoCreateSymbolicLink(EmulatedImage& image, GuestAddress link, GuestAddress device)
{
    return image.services().createSymbolicLink(image.unicodeString(link), image.unicodeString(device));
}

NTSTATUS IoDeleteSymbolicLink(EmulatedImage& image, GuestAddress link)
{
    return image.services().deleteSymbolicLink(image.unicodeString(link));
}

void IofCompleteRequest(EmulatedImage& image, GuestAddress irp, int8_t boost)
{
    image.services().completeRequest(irp, boost, static_cast<NTSTATUS>(image.read32(irp + Irp::IoStatus)));
}

void KeInitializeEvent(EmulatedImage& image, GuestAddress event, uint32_t type, uint8_t state)
{
    if (type > 1) image.stop("KeInitializeEvent of type " + std::to_string(type));
    image.write16(event + Kevent::Type, static_cast<uint16_t>(type));
    image.write16(event + Kevent::Size, Kevent::kSize / 4);
    image.write32(event + Kevent::SignalState, state);
    image.write32(event + Kevent::WaitListHead, event + Kevent::WaitListHead);
    image.write32(event + Kevent::WaitListHead + 4, event + Kevent::WaitListHead);
}

GuestAddress MmMapIoSpace(EmulatedImage& image, uint64_t physical, uint32_t length, uint32_t caching)
{
    if (caching > MmWriteCombined) image.stop("MmMapIoSpace with caching type " + std::to_string(caching));
    return GuestAddress{static_cast<uint32_t>(image.services().mapIoSpace(physical, length))};
}

void MmUnmapIoSpace(EmulatedImage& image, GuestAddress address, uint32_t length)
{
    image.services().unmapIoSpace(address, length);
}

void RtlInitUnicodeString(EmulatedImage& image, GuestAddress destination, GuestAddress source)
{
    // Read no further than the longest text the kernel accepts, and one
    // character more to see that it is longer.
    uint32_t length = 0;
    while (source != 0 && length <= kMaxUnicodeTextBytes && image.read16(source + length) != 0)
        length += 2;
    const uint16_t bytes = image.services().unicodeLength(length);
    image.write16(destination + UnicodeString::Length, bytes);
    image.write16(destination + UnicodeString::MaximumLength, static_cast<uint16_t>(source ? bytes + 2 : 0));
    image.write32(destination + UnicodeString::Buffer, source);
}

int32_t VsnPrintf(EmulatedImage& image, GuestAddress buffer, uint32_t count, GuestAddress format, GuestAddress args)
{
    const std::string text = Format(image, format, args);
    const FormatCut cut = CutFormatted(text.size(), count);
    if (cut.bytes + cut.terminated > 0)
        image.write(buffer, text.c_str(), static_cast<uint32_t>(cut.bytes + cut.terminated));
    return cut.result;
}

int32_t StrNCmp(EmulatedImage& image, GuestAddress a, GuestAddress b, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t x = image.readByte(a + i);
        const uint8_t y = image.readByte(b + i);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) break;
    }
    return 0;
}

GuestAddress StrNCpy(EmulatedImage& image, GuestAddress destination, GuestAddress source, uint32_t count)
{
    bool ended = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t byte = ended ? 0 : image.readByte(source + i);
        ended = ended || byte == 0;
        image.write(destination + i, &byte, 1);
    }
    return destination;
}

// --- hal.dll ---

// The kernel keeps who holds which fast mutex; the structure only shows
// what NT's own code would see. Initialized means what the DDK's inline
// ExInitializeFastMutex leaves: a writable FAST_MUTEX whose event has its
// size. Count is not consulted: whether this thread holds the mutex is the
// kernel's to say, not a field the driver can overwrite.
void ExAcquireFastMutex(EmulatedImage& image, GuestAddress mutex)
{
    const bool initialized = image.writableByDriver(mutex, FastMutex::kSize) &&
                             image.read16(mutex + FastMutex::Event + Kevent::Size) == Kevent::kSize / 4;
    image.services().acquireFastMutex(mutex, initialized);
    image.write32(mutex + FastMutex::Count, 0);
    image.write32(mutex + FastMutex::Owner, kObjectArea); // the one thread
}

void ExReleaseFastMutex(EmulatedImage& image, GuestAddress mutex)
{
    image.services().releaseFastMutex(mutex);
    image.write32(mutex + FastMutex::Count, 1);
    image.write32(mutex + FastMutex::Owner, 0);
}

constexpr const char* kNt = "ntoskrnl.exe";
constexpr const char* kHal = "hal.dll";
using enum Convention;

const ServiceStub kStubs[] = {
    Declare<Cdecl, DbgPrint>(kNt, "DbgPrint"),
    Declare<Stdcall, IoCreateDevice>(kNt, "IoCreateDevice"),
    Declare<Stdcall, IoCreateSymbolicLink>(kNt, "IoCreateSymbolicLink"),
    Declare<Stdcall, IoDeleteDevice>(kNt, "IoDeleteDevice"),
    Declare<Stdcall, IoDeleteSymbolicLink>(kNt, "IoDeleteSymbolicLink"),
    Declare<Fastcall, IofCompleteRequest>(kNt, "IofCompleteRequest"),
    Declare<Stdcall, KeInitializeEvent>(kNt, "KeInitializeEvent"),
    Declare<Stdcall, MmMapIoSpace>(kNt, "MmMapIoSpace"),
    Declare<Stdcall, MmUnmapIoSpace>(kNt, "MmUnmapIoSpace"),
    Declare<Stdcall, RtlInitUnicodeString>(kNt, "RtlInitUnicodeString"),
    Declare<Cdecl, VsnPrintf>(kNt, "_vsnprintf"),
    Declare<Cdecl, StrNCmp>(kNt, "strncmp"),
    Declare<Cdecl, StrNCpy>(kNt, "strncpy"),
    Declare<Fastcall, ExAcquireFastMutex>(kHal, "ExAcquireFastMutex"),
    Declare<Fastcall, ExReleaseFastMutex>(kHal, "ExReleaseFastMutex"),
};

// What the derivation gives, against the DDK's signatures: stdcall pops
// 4 bytes a 32-bit argument and 8 a 64-bit one; fastcall's two register
// arguments pop nothing.
static_assert(stub_detail::Stub<Stdcall, decltype(&IoCreateDevice)>::Shape::PopBytes() == 28);
static_assert(stub_detail::Stub<Stdcall, decltype(&MmMapIoSpace)>::Shape::PopBytes() == 16);
static_assert(stub_detail::Stub<Fastcall, decltype(&IofCompleteRequest)>::Shape::PopBytes() == 0);

} // namespace

const ServiceStub* FindServiceStub(const std::string& module, const std::string& name)
{
    for (const ServiceStub& stub : kStubs) {
        if (module == stub.module && name == stub.name) return &stub;
    }
    return nullptr;
}

} // namespace zhost::i386
