// The host kernel: a simulated NT kernel that loads the unchanged driver,
// routes open, close and device-control requests to it as NT's I/O manager
// does, and lends it the simulated machine's physical memory and ports. The
// driver is either the host build's shared object or the shipped zerlo.sys,
// run on an emulated i386 (see driver_image.h); each load starts from the
// zero state of a new image. It is strict where NT is strict: a misuse that
// would bug-check Windows stops the process with "*** STOP".
#pragma once

#include "../machine/machine.h"
#include "fault_injection.h"
#include "host_ntddk.h"
#include "object_manager.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace zhost {

struct IoctlOutcome {
    NTSTATUS status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> reply; // what NT copies back: min(information, output length) bytes
    bool operator==(const IoctlOutcome&) const = default;
};

class DriverImage;

// What the last call of the kernel into an emulated zerlo.sys cost; zeros for
// a native image, whose instructions nobody counts.
struct CallFigures {
    uint64_t instructions = 0; // executed inside the image; the kernel's services are not counted
    uint32_t stackBytes = 0;   // deepest use of the 12 KiB kernel stack
};

struct LiveMapping {
    uintptr_t virtualAddress;
    uint32_t physicalAddress;
    uint32_t length;
};

// A request as the I/O manager hands a native image's dispatch routine: the
// IRP with its one stack location. IofCompleteRequest counts completions
// here, so a caller that builds one itself (to time a dispatch routine
// alone) resets the count before each call.
struct IrpRecord {
    IRP irp;
    IO_STACK_LOCATION stack;
    int completions = 0;
};

// Access rights of a handle, as CreateFile asks for them.
constexpr uint32_t kAccessRead = 0x1;  // FILE_READ_DATA
constexpr uint32_t kAccessWrite = 0x2; // FILE_WRITE_DATA

// Who opens. A device's security is the default NT gives a named device:
// everyone may read, administrators (and the system) may also write.
enum class Caller { Administrator, User };

std::string DefaultDriverPath();

class Kernel {
  public:
    explicit Kernel(Machine& machine);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The one kernel the driver's calls reach; null when none is booted.
    static Kernel* current();

    Machine& machine() { return machine_; }

    // A PE file (zerlo.sys) runs on the emulated i386, anything else is
    // opened as a shared object. A file that cannot be loaded is named with
    // the reason on stderr, and nothing of it runs.
    NTSTATUS load(const std::string& driverPath = DefaultDriverPath());
    void unload();
    bool loaded() const { return image_ != nullptr && started_; }
    bool emulated() const { return emulated_; }
    CallFigures lastCall() const;

    // Opens a device through a name such as L"\\DosDevices\\ZerloDev" or
    // L"\\Device\\Zerlo", with kAccessRead and/or kAccessWrite, as the
    // caller set (an administrator unless told). A name below the device
    // (L"\\DosDevices\\ZerloDev\\x") reaches the driver's create as the
    // file object's name.
    NTSTATUS open(const std::wstring& name, uint32_t access, Handle* handle);
    void setCaller(Caller caller);
    NTSTATUS close(Handle handle);
    IoctlOutcome ioctl(Handle handle, uint32_t code, std::span<const uint8_t> input, uint32_t outputLength);

    // A driver symbol of the loaded image (for tests of single operations).
    void* symbol(const char* name) const;

    std::vector<std::string> debugLog() const;
    // The driver's calls of the services that acquire or release something,
    // in order, e.g. "MmMapIoSpace 0x000e0000 131072 -> 0x20000000" or
    // "IoDeleteSymbolicLink \DosDevices\ZerloDev" (bounded: the oldest are kept).
    std::vector<std::string> journal() const;
    void clearJournal();
    std::vector<LiveMapping> liveMappings() const;
    uint64_t mapCalls() const;
    // Bytes of all successful MmMapIoSpace calls since boot.
    uint64_t bytesMapped() const;
    std::vector<std::wstring> deviceNames() const;
    std::vector<std::wstring> linkNames() const;

    // Fault injection. A service set to fail returns an error status; the
    // MmMapIoSpace call with the given 1-based number (counted from this
    // kernel's boot) returns null.
    void failService(KernelService service, bool fail = true);
    void failMapCall(uint64_t number);
    void clearFaults();

    // Fuzzing: the whole state of this kernel, its machine and its loaded
    // driver, taken between requests, and put back in place of booting and
    // loading again. `matches` says whether the state now is the snapshot's,
    // which proves a restore complete.
    struct Snapshot;
    std::shared_ptr<const Snapshot> snapshot() const;
    void restore(const Snapshot& snapshot);
    bool matches(const Snapshot& snapshot) const;
    DriverImage* image() const { return image_.get(); }
    // Reads every live mapping again from the machine's physical memory
    // (after a fuzzer rewrote it).
    void rereadMappings();

    // --- the services, as both images' stubs of the NT exports call them ---
    // `makeObject` builds the DEVICE_OBJECT in the driver's address space
    // once the name is admitted.
    NTSTATUS createDevice(const std::wstring& name, uint32_t type, uint32_t characteristics,
                          const std::function<uintptr_t()>& makeObject, bool onHostHeap);
    void deleteDevice(uintptr_t object);
    NTSTATUS createSymbolicLink(const std::wstring& link, const std::wstring& target);
    NTSTATUS deleteSymbolicLink(const std::wstring& link);
    uintptr_t mapIoSpace(uint64_t physical, uint64_t length);
    void unmapIoSpace(uintptr_t address, uint64_t length);
    void debugPrint(const std::string& text);

  private:
    void ReleaseImage();
    struct Impl;
    Machine& machine_;
    std::shared_ptr<DriverImage> image_;
    bool started_ = false;
    bool emulated_ = false;
    std::unique_ptr<Impl> impl_;
};

std::string Narrow(const std::wstring& text);

[[noreturn]] void BugCheck(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace zhost
