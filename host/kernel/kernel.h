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
#include "object_manager.h"

#include <cstdint>
#include <memory>
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
class KernelProbe;
class KernelServices;
struct CallFigures; // driver_image.h
struct KernelState;
struct Request;

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
    KernelProbe probe();
    KernelServices services();

  private:
    friend class KernelProbe;
    friend class KernelServices;
    // Every call into the driver goes through these, which check what NT
    // checks when the driver returns; they live with NT's other rules
    // (kernel_services.cpp). `input` is a device control's, which the part
    // of a buffered one's system buffer beyond the output must still hold.
    NTSTATUS startImage();
    void unloadImage();
    void dispatch(uintptr_t device, Request& request, std::span<const uint8_t> input = {});
    void ReleaseImage();
    Machine& machine_;
    std::shared_ptr<DriverImage> image_;
    bool started_ = false;
    bool emulated_ = false;
    std::unique_ptr<KernelState> impl_;
};

std::string Narrow(const std::wstring& text);

} // namespace zhost
