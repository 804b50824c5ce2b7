// The kernel's services as a driver image's stubs of the NT exports call
// them, and the checks NT makes when one of the driver's routines returns.
// Every NT rule a driver is held to lives here, once: an image only reads the
// arguments where its calling convention and structure layout put them,
// hands them over and writes back what the service decided, so the host
// build and zerlo.sys stop on the same misuse with the same words. The
// managers below keep the kernel's books and decide nothing of NT's.
#pragma once

#include "host_ntddk.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace zhost {

class Kernel;
class Machine;
struct Request;

// A UNICODE_STRING's fields as the image read them.
struct UnicodeStringFields {
    bool present = false; // the structure's address was not null
    uint16_t length = 0;
    uint16_t maximumLength = 0;
    bool hasBuffer = false;
};

// What ntoskrnl's _vsnprintf leaves of a text of `length` characters in a
// buffer of `count` bytes: `bytes` of the text, then a terminator if
// `terminated`, and the value it returns.
struct FormatCut {
    size_t bytes = 0;
    bool terminated = false;
    int result = 0;
};
FormatCut CutFormatted(size_t length, size_t count);

// The longest text RtlInitUnicodeString accepts, in bytes: its terminator
// must still fit in MaximumLength.
constexpr size_t kMaxUnicodeTextBytes = 0xFFFC;

class KernelServices {
  public:
    explicit KernelServices(Kernel& kernel) : kernel_(kernel) {}
    // The services of the one booted kernel, for an image's exports that
    // have no other way to it; stops when no kernel is booted.
    static KernelServices Booted(const char* caller);

    Machine& machine();

    // Stops on a null or malformed UNICODE_STRING; the image then reads its
    // `length` bytes.
    void checkUnicodeString(const UnicodeStringFields& fields);
    // RtlInitUnicodeString's Length for a text of `bytes` bytes (without
    // its terminator). A text too long to describe stops, where NT would
    // describe only its start: in a driver it is a missing terminator.
    uint16_t unicodeLength(size_t bytes);

    // IoCreateDevice. `makeObject` builds the DEVICE_OBJECT in the driver's
    // memory and hands it to the caller once the kernel admits the name; the
    // kernel links it at the head of the driver's chain.
    NTSTATUS createDevice(uintptr_t driver, const std::wstring& name, uint32_t type, uint32_t characteristics,
                          const std::function<uintptr_t()>& makeObject);
    // IoDeleteDevice: forgets the name and unlinks the object from its
    // driver's chain; the image then frees it.
    void deleteDevice(uintptr_t object);
    NTSTATUS createSymbolicLink(const std::wstring& link, const std::wstring& target);
    NTSTATUS deleteSymbolicLink(const std::wstring& link);

    // IofCompleteRequest of the IRP at `irp`, whose IoStatus.Status is
    // `status`.
    void completeRequest(uintptr_t irp, int priorityBoost, NTSTATUS status);

    // A fast mutex, by its address in the driver's memory. `initialized` is
    // what the image found in the structure. The image blocks on the mutex
    // (if it can block at all) after acquireFastMutex returns, and frees it
    // after releaseFastMutex returns.
    void acquireFastMutex(uintptr_t mutex, bool initialized);
    void releaseFastMutex(uintptr_t mutex);

    uintptr_t mapIoSpace(uint64_t physical, uint64_t length);
    void unmapIoSpace(uintptr_t address, uint64_t length);
    void debugPrint(const std::string& text);

    // What NT checks when one of the driver's routines returns (called by
    // the kernel's calls into the driver): DriverEntry, DriverUnload or a
    // dispatch routine holds no fast mutex; a dispatch routine completed its
    // request once, with the status it returned (a create or a device
    // control); a buffered device control's routine wrote inside its output
    // (the rest of the system buffer still holds `input`) and reported no
    // more than the output.
    void routineReturned(const char* routine);
    void dispatchReturned(const Request& request, std::span<const uint8_t> input);

  private:
    Kernel& kernel_;
};

} // namespace zhost
