// The kernel's exports that zerlo.sys imports, as the emulated i386 calls
// them: each reads its arguments where its calling convention puts them,
// checks that they have the shape the export expects, and hands the work to
// the host kernel's managers. A call with another shape stops the run.
#include "emulated_image.h"
#include "guest_format.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace zhost::i386 {

namespace {

using namespace nt32;

void Return(EmulatedImage& image, uint32_t value)
{
    image.setReg(UC_X86_REG_EAX, value);
}

// --- ntoskrnl.exe ---

void DbgPrint(EmulatedImage& image)
{
    // cdecl with the arguments right after the format.
    const uint32_t esp = image.reg(UC_X86_REG_ESP);
    std::string text = Format(image, image.read32(esp + 4), esp + 8);
    image.services().debugPrint(text);
    Return(image, STATUS_SUCCESS);
}

void IoCreateDevice(EmulatedImage& image)
{
    const uint32_t driver = image.arg(0);
    const uint32_t extension = image.arg(1);
    const uint32_t type = image.arg(3);
    const uint32_t characteristics = image.arg(4);
    const uint32_t result = image.arg(6);
    if (!image.writableByDriver(result, 4)) image.stop("IoCreateDevice with no place for the device object");
    const NTSTATUS status =
        image.services().createDevice(driver, image.unicodeString(image.arg(2)), type, characteristics, [&] {
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
    Return(image, static_cast<uint32_t>(status));
}

void IoDeleteDevice(EmulatedImage& image)
{
    image.services().deleteDevice(image.arg(0));
}

void IoCreateSymbolicLink(EmulatedImage& image)
{
    Return(image, static_cast<uint32_t>(image.services().createSymbolicLink(image.unicodeString(image.arg(0)),
                                                                            image.unicodeString(image.arg(1)))));
}

void IoDeleteSymbolicLink(EmulatedImage& image)
{
    Return(image, static_cast<uint32_t>(image.services().deleteSymbolicLink(image.unicodeString(image.arg(0)))));
}

void IofCompleteRequest(EmulatedImage& image)
{
    // fastcall: the request in ECX, the boost in DL.
    const uint32_t irp = image.reg(UC_X86_REG_ECX);
    const int8_t boost = static_cast<int8_t>(image.reg(UC_X86_REG_EDX) & 0xFF);
    image.services().completeRequest(irp, boost, static_cast<NTSTATUS>(image.read32(irp + Irp::IoStatus)));
}

void KeInitializeEvent(EmulatedImage& image)
{
    const uint32_t event = image.arg(0);
    const uint32_t type = image.arg(1);
    if (type > 1) image.stop("KeInitializeEvent of type " + std::to_string(type));
    image.write16(event + Kevent::Type, static_cast<uint16_t>(type));
    image.write16(event + Kevent::Size, Kevent::kSize / 4);
    image.write32(event + Kevent::SignalState, image.arg(2) & 0xFF);
    image.write32(event + Kevent::WaitListHead, event + Kevent::WaitListHead);
    image.write32(event + Kevent::WaitListHead + 4, event + Kevent::WaitListHead);
}

void MmMapIoSpace(EmulatedImage& image)
{
    // The 64-bit physical address takes two stack slots, low part first.
    const uint64_t physical = image.arg(0) | uint64_t{image.arg(1)} << 32;
    if (image.arg(3) > MmWriteCombined) image.stop("MmMapIoSpace with caching type " + std::to_string(image.arg(3)));
    Return(image, static_cast<uint32_t>(image.services().mapIoSpace(physical, image.arg(2))));
}

void MmUnmapIoSpace(EmulatedImage& image)
{
    image.services().unmapIoSpace(image.arg(0), image.arg(1));
}

void RtlInitUnicodeString(EmulatedImage& image)
{
    const uint32_t destination = image.arg(0);
    const uint32_t source = image.arg(1);
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

void VsnPrintf(EmulatedImage& image)
{
    const uint32_t buffer = image.arg(0);
    const uint32_t count = image.arg(1);
    const std::string text = Format(image, image.arg(2), image.arg(3));
    const FormatCut cut = CutFormatted(text.size(), count);
    if (cut.bytes + cut.terminated > 0)
        image.write(buffer, text.c_str(), static_cast<uint32_t>(cut.bytes + cut.terminated));
    Return(image, static_cast<uint32_t>(cut.result));
}

void StrNCmp(EmulatedImage& image)
{
    const uint32_t a = image.arg(0);
    const uint32_t b = image.arg(1);
    const uint32_t count = image.arg(2);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t x = image.readByte(a + i);
        const uint8_t y = image.readByte(b + i);
        if (x != y) return Return(image, x < y ? 0xFFFFFFFF : 1);
        if (x == 0) break;
    }
    Return(image, 0);
}

void StrNCpy(EmulatedImage& image)
{
    const uint32_t destination = image.arg(0);
    const uint32_t source = image.arg(1);
    const uint32_t count = image.arg(2);
    bool ended = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t byte = ended ? 0 : image.readByte(source + i);
        ended = ended || byte == 0;
        image.write(destination + i, &byte, 1);
    }
    Return(image, destination);
}

// --- hal.dll ---

// The kernel keeps who holds which fast mutex; the structure only shows
// what NT's own code would see.
void ExAcquireFastMutex(EmulatedImage& image)
{
    const uint32_t mutex = image.reg(UC_X86_REG_ECX);
    const bool initialized = image.writableByDriver(mutex, FastMutex::kSize) &&
                             image.read16(mutex + FastMutex::Event + Kevent::Size) == Kevent::kSize / 4;
    image.services().acquireFastMutex(mutex, initialized);
    image.write32(mutex + FastMutex::Count, 0);
    image.write32(mutex + FastMutex::Owner, kObjectArea); // the one thread
}

void ExReleaseFastMutex(EmulatedImage& image)
{
    const uint32_t mutex = image.reg(UC_X86_REG_ECX);
    image.services().releaseFastMutex(mutex);
    image.write32(mutex + FastMutex::Count, 1);
    image.write32(mutex + FastMutex::Owner, 0);
}

constexpr int kCdecl = -1;
constexpr int kFastcall = 0; // two register arguments, nothing on the stack

const ServiceStub kStubs[] = {
    {"ntoskrnl.exe", "DbgPrint", kCdecl, DbgPrint},
    {"ntoskrnl.exe", "IoCreateDevice", 28, IoCreateDevice},
    {"ntoskrnl.exe", "IoCreateSymbolicLink", 8, IoCreateSymbolicLink},
    {"ntoskrnl.exe", "IoDeleteDevice", 4, IoDeleteDevice},
    {"ntoskrnl.exe", "IoDeleteSymbolicLink", 4, IoDeleteSymbolicLink},
    {"ntoskrnl.exe", "IofCompleteRequest", kFastcall, IofCompleteRequest},
    {"ntoskrnl.exe", "KeInitializeEvent", 12, KeInitializeEvent},
    {"ntoskrnl.exe", "MmMapIoSpace", 16, MmMapIoSpace},
    {"ntoskrnl.exe", "MmUnmapIoSpace", 8, MmUnmapIoSpace},
    {"ntoskrnl.exe", "RtlInitUnicodeString", 8, RtlInitUnicodeString},
    {"ntoskrnl.exe", "_vsnprintf", kCdecl, VsnPrintf},
    {"ntoskrnl.exe", "strncmp", kCdecl, StrNCmp},
    {"ntoskrnl.exe", "strncpy", kCdecl, StrNCpy},
    {"hal.dll", "ExAcquireFastMutex", kFastcall, ExAcquireFastMutex},
    {"hal.dll", "ExReleaseFastMutex", kFastcall, ExReleaseFastMutex},
};

} // namespace

const ServiceStub* FindServiceStub(const std::string& module, const std::string& name)
{
    for (const ServiceStub& stub : kStubs) {
        if (module == stub.module && name == stub.name) return &stub;
    }
    return nullptr;
}

} // namespace zhost::i386
