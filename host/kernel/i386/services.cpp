// The kernel's exports that zerlo.sys imports, as the emulated i386 calls
// them: each reads its arguments where its calling convention puts them,
// checks that they have the shape the export expects, and hands the work to
// the host kernel's managers. A call with another shape stops the run.
#include "emulated_image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace zhost::i386 {

namespace {

using namespace nt32;

constexpr uint32_t kFormatLimit = 4096;

// One conversion of a format: flags, width and precision as numbers (-1
// when absent), the size prefix and the conversion letter.
struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    char size = 0; // 'h', 'l', 'w' or '6' (ll, I64); 0 for none
    char letter = 0;
};
constexpr int kFieldLimit = 4096; // widest field and longest precision formatted

// The host's snprintf of one conversion, as long as it comes out.
template <class T> std::string HostFormat(const Conversion& c, const char* length, T value)
{
    std::string directive = "%" + c.flags;
    if (c.width >= 0) directive += std::to_string(c.width);
    if (c.precision >= 0) directive += "." + std::to_string(c.precision);
    directive += length;
    directive += c.letter;
    std::vector<char> text(static_cast<size_t>(std::snprintf(nullptr, 0, directive.c_str(), value)) + 1);
    std::snprintf(text.data(), text.size(), directive.c_str(), value);
    return text.data();
}

// A format of the driver read from its memory, and its arguments, an
// emulated va_list. What ntoskrnl's _vsnprintf formats and the driver may
// use is formatted as NT does: msvcrt's `h` is 16 bits, `l` and `I32` 32,
// `ll` and `I64` 64; a `.` without digits is precision 0, a negative `*`
// width left-justifies and a negative `*` precision counts as none. Anything
// else stops the run, naming the format.
class Formatter {
  public:
    Formatter(EmulatedImage& image, uint32_t format, uint32_t args) : image_(image), args_(args)
    {
        for (uint32_t at = format;; ++at) {
            if (at - format > kFormatLimit) image.stop("format string longer than 4 KiB");
            const char c = static_cast<char>(image.readByte(at));
            if (c == 0) break;
            format_ += c;
        }
    }

    std::string text()
    {
        std::string text;
        for (at_ = 0; at_ < format_.size();) {
            const char c = format_[at_++];
            if (c != '%') {
                text += c;
            } else if (peek() == '%') {
                ++at_;
                text += '%';
            } else {
                text += convert(parse());
            }
        }
        return text;
    }

  private:
    char peek() const { return at_ < format_.size() ? format_[at_] : '\0'; }
    [[noreturn]] void refuse(const std::string& why)
    {
        image_.stop("_vsnprintf: " + why + " in format \"" + format_ + "\"");
    }
    uint32_t next32()
    {
        const uint32_t value = image_.read32(args_);
        args_ += 4;
        return value;
    }
    // A width or precision: digits, `*` (an int argument) or none.
    std::optional<int> number()
    {
        if (peek() == '*') {
            ++at_;
            return static_cast<int32_t>(next32());
        }
        if (peek() < '0' || peek() > '9') return std::nullopt;
        int value = 0;
        while (peek() >= '0' && peek() <= '9') {
            value = value * 10 + (format_[at_++] - '0');
            if (value > kFieldLimit) break; // refused below, before it overflows
        }
        return value;
    }
    Conversion parse()
    {
        Conversion c;
        while (peek() != '\0' && std::strchr("-+ #0", peek()) != nullptr)
            c.flags += format_[at_++];
        if (const std::optional<int> width = number()) {
            if (*width < 0) c.flags += '-';
            if (*width < -kFieldLimit || *width > kFieldLimit) refuse("a width above 4096");
            c.width = std::abs(*width);
        }
        if (peek() == '.') {
            ++at_;
            const std::optional<int> precision = number();
            c.precision = !precision ? 0 : std::max(*precision, -1);
            if (c.precision > kFieldLimit) refuse("a precision above 4096");
        }
        if (format_.compare(at_, 3, "I64") == 0 || format_.compare(at_, 2, "ll") == 0) {
            c.size = '6';
            at_ += format_[at_] == 'I' ? 3 : 2;
        } else if (format_.compare(at_, 3, "I32") == 0) {
            c.size = 'l';
            at_ += 3;
        } else if (peek() == 'l' || peek() == 'h' || peek() == 'w') {
            c.size = format_[at_++];
        }
        c.letter = peek();
        if (c.letter == '\0') refuse("a conversion cut off by the end");
        ++at_;
        return c;
    }
    std::string convert(const Conversion& c)
    {
        const bool isSigned = c.letter == 'd' || c.letter == 'i';
        if (std::strchr("diuoxX", c.letter) != nullptr && c.size != 'w') {
            if (c.size == '6') {
                const uint64_t low = next32();
                const uint64_t value = low | uint64_t{next32()} << 32;
                if (isSigned) return HostFormat(c, "ll", static_cast<long long>(value));
                return HostFormat(c, "ll", static_cast<unsigned long long>(value));
            }
            const uint32_t value = next32();
            if (c.size == 'h') {
                if (isSigned) return HostFormat(c, "", int{static_cast<int16_t>(value)});
                return HostFormat(c, "", unsigned{static_cast<uint16_t>(value)});
            }
            if (isSigned) return HostFormat(c, "", static_cast<int32_t>(value));
            return HostFormat(c, "", value);
        }
        // `h` names the narrow character and string, as no prefix does; the
        // wide ones (`l`, `w`, `C`, `S`) are not the driver's.
        if (c.size != 0 && c.size != 'h') refuse(std::string("a size prefix on %") + c.letter);
        switch (c.letter) {
        case 'c': return HostFormat(c, "", static_cast<int>(static_cast<uint8_t>(next32())));
        case 'p': return HostFormat(Conversion{"0", 8, -1, 0, 'X'}, "", next32());
        case 's': {
            const uint32_t address = next32();
            std::string value = "(null)";
            if (address != 0) {
                // A precision bounds the read as it bounds the text: the
                // string need not be terminated within it.
                const size_t limit = c.precision >= 0 ? static_cast<size_t>(c.precision) : kFormatLimit;
                value.clear();
                for (uint32_t at = address; value.size() < limit; ++at) {
                    const uint8_t byte = image_.readByte(at);
                    if (byte == 0) break;
                    value += static_cast<char>(byte);
                }
            }
            return HostFormat(c, "", value.c_str());
        }
        default: refuse(std::string("conversion %") + c.letter + ", which the driver may not use,");
        }
    }

    EmulatedImage& image_;
    uint32_t args_;
    std::string format_;
    size_t at_ = 0;
};

std::string Format(EmulatedImage& image, uint32_t format, uint32_t args)
{
    return Formatter(image, format, args).text();
}

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
    image.kernel().debugPrint(text);
    Return(image, STATUS_SUCCESS);
}

void IoCreateDevice(EmulatedImage& image)
{
    const uint32_t driver = image.arg(0);
    const uint32_t extension = image.arg(1);
    const uint32_t type = image.arg(3);
    const uint32_t characteristics = image.arg(4);
    const uint32_t result = image.arg(6);
    if (driver != image.driverObject()) image.stop("IoCreateDevice for another driver object");
    if (!image.writableByDriver(result, 4)) image.stop("IoCreateDevice with no place for the device object");
    const NTSTATUS status = image.kernel().createDevice(
        image.unicodeString(image.arg(2)), type, characteristics,
        [&] {
            const uint32_t object = image.allocateObject(DeviceObject::kSize + extension);
            image.write16(object + DeviceObject::Type, kIoTypeDevice);
            image.write16(object + DeviceObject::Size, static_cast<uint16_t>(DeviceObject::kSize + extension));
            image.write32(object + DeviceObject::DriverObject, driver);
            image.write32(object + DeviceObject::NextDevice, image.read32(driver + DriverObject::DeviceObject));
            image.write32(object + DeviceObject::Flags, DO_DEVICE_INITIALIZING);
            image.write32(object + DeviceObject::Characteristics, characteristics);
            image.write32(object + DeviceObject::DeviceExtension, extension ? object + DeviceObject::kSize : 0);
            image.write32(object + DeviceObject::DeviceType, type);
            image.write32(object + DeviceObject::StackSize, 1);
            image.write32(driver + DriverObject::DeviceObject, object);
            image.write32(result, object);
            return uintptr_t{object};
        },
        false);
    Return(image, static_cast<uint32_t>(status));
}

void IoDeleteDevice(EmulatedImage& image)
{
    const uint32_t device = image.arg(0);
    if (device == 0) image.stop("IoDeleteDevice on an unknown device object");
    image.kernel().deleteDevice(device);
    uint32_t link = image.read32(device + DeviceObject::DriverObject) + DriverObject::DeviceObject;
    while (image.read32(link) != device)
        link = image.read32(link) + DeviceObject::NextDevice;
    image.write32(link, image.read32(device + DeviceObject::NextDevice));
}

void IoCreateSymbolicLink(EmulatedImage& image)
{
    Return(image, static_cast<uint32_t>(image.kernel().createSymbolicLink(image.unicodeString(image.arg(0)),
                                                                          image.unicodeString(image.arg(1)))));
}

void IoDeleteSymbolicLink(EmulatedImage& image)
{
    Return(image, static_cast<uint32_t>(image.kernel().deleteSymbolicLink(image.unicodeString(image.arg(0)))));
}

void IofCompleteRequest(EmulatedImage& image)
{
    // fastcall: the request in ECX, the boost in DL.
    const uint32_t irp = image.reg(UC_X86_REG_ECX);
    Request* request = image.currentRequest();
    if (request == nullptr || irp != image.currentIrp()) {
        image.stop("IofCompleteRequest of " + std::to_string(irp) + ", which is not the request being dispatched");
    }
    if ((image.reg(UC_X86_REG_EDX) & 0xFF) != IO_NO_INCREMENT) image.stop("request completed with a priority boost");
    if (++request->completions > 1) image.stop("MULTIPLE_IRP_COMPLETE_REQUESTS");
    if (image.read32(irp + Irp::IoStatus) == 0xFFFFFFFF) image.stop("request completed without a status");
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
    Return(image, static_cast<uint32_t>(image.kernel().mapIoSpace(physical, image.arg(2))));
}

void MmUnmapIoSpace(EmulatedImage& image)
{
    image.kernel().unmapIoSpace(image.arg(0), image.arg(1));
}

void RtlInitUnicodeString(EmulatedImage& image)
{
    const uint32_t destination = image.arg(0);
    const uint32_t source = image.arg(1);
    uint32_t length = 0;
    while (source != 0 && image.read16(source + length) != 0) {
        length += 2;
        if (length >= 0xFFFC) image.stop("RtlInitUnicodeString of an unterminated text");
    }
    image.write16(destination + UnicodeString::Length, static_cast<uint16_t>(length));
    image.write16(destination + UnicodeString::MaximumLength, static_cast<uint16_t>(source ? length + 2 : 0));
    image.write32(destination + UnicodeString::Buffer, source);
}

void VsnPrintf(EmulatedImage& image)
{
    const uint32_t buffer = image.arg(0);
    const uint32_t count = image.arg(1);
    const std::string text = Format(image, image.arg(2), image.arg(3));
    // As ntoskrnl does it: a text that fits is terminated; a cut one fills
    // all `count` bytes without a terminator and gives -1 (the length when
    // it fits exactly).
    if (text.size() < count) {
        image.write(buffer, text.c_str(), static_cast<uint32_t>(text.size() + 1));
        Return(image, static_cast<uint32_t>(text.size()));
        return;
    }
    if (count > 0) image.write(buffer, text.data(), count);
    Return(image, text.size() == count ? count : 0xFFFFFFFF);
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

// One emulated thread: a fast mutex that is held when acquired again would
// never be released, and a release of one not held is NT's bug check.
void ExAcquireFastMutex(EmulatedImage& image)
{
    const uint32_t mutex = image.reg(UC_X86_REG_ECX);
    if (!image.writableByDriver(mutex, FastMutex::kSize) ||
        image.read16(mutex + FastMutex::Event + Kevent::Size) != 4) {
        image.stop("ExAcquireFastMutex of " + std::to_string(mutex) + ", not an initialized FAST_MUTEX in ECX");
    }
    if (image.read32(mutex + FastMutex::Count) != 1 || image.heldMutexes().contains(mutex)) {
        image.stop("ExAcquireFastMutex of a fast mutex already held: the thread waits forever");
    }
    image.write32(mutex + FastMutex::Count, 0);
    image.write32(mutex + FastMutex::Owner, kObjectArea); // the one thread
    image.heldMutexes().insert(mutex);
}

void ExReleaseFastMutex(EmulatedImage& image)
{
    const uint32_t mutex = image.reg(UC_X86_REG_ECX);
    if (!image.heldMutexes().contains(mutex)) image.stop("ExReleaseFastMutex of a fast mutex not held");
    image.write32(mutex + FastMutex::Count, 1);
    image.write32(mutex + FastMutex::Owner, 0);
    image.heldMutexes().erase(mutex);
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
