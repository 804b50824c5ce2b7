// The host kernel: a simulated NT kernel that loads the unchanged driver,
// routes open, close and device-control requests to it as NT's I/O manager
// does, and lends it the simulated machine's physical memory and ports. The
// driver is either the host build's shared object or the shipped zerlo.sys,
// run on an emulated i386 (see driver_image.h); each load starts from the
// zero state of a new image. It is strict where NT is strict: a misuse that
// would bug-check Windows stops the process with "*** STOP".
#pragma once

#include "../machine/machine.h"
#include "host_ntddk.h"
#include "kernel_probe.h"
#include "kernel_services.h"
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
struct Request;

// What the last call of the kernel into an emulated zerlo.sys cost; zeros for
// a native image, whose instructions nobody counts.
struct CallFigures {
    uint64_t instructions = 0; // executed inside the image; the kernel's services are not counted
    uint32_t stackBytes = 0;   // deepest use of the 12 KiB kernel stack
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

    // What tests look at and change inside (kernel_probe.h), and the
    // services that the driver's calls of the NT exports reach
    // (kernel_services.h).
    KernelProbe probe() { return KernelProbe(*this); }
    KernelServices services() { return KernelServices(*this); }

  private:
    friend class KernelProbe;
    friend class KernelServices;
    // Every call into the driver goes through these, which check what NT
    // checks when the driver returns (io_manager.cpp).
    NTSTATUS startImage();
    void unloadImage();
    void dispatch(uintptr_t device, Request& request);
    void checkNothingHeld(const char* routine);
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
