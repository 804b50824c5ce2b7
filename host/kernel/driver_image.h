// How the driver's code runs: natively, as a shared object of the host build,
// or instruction by instruction, as the shipped zerlo.sys on an emulated
// i386. The kernel's managers are the same for both; an image only builds
// the driver's own view of objects and requests and calls into its code.
#pragma once

#include "host_ntddk.h"
#include "memory_manager.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zhost {

class Kernel;

// What the last call of the kernel into an emulated zerlo.sys cost; zeros for
// a native image, whose instructions nobody counts.
struct CallFigures {
    uint64_t instructions = 0; // executed inside the image; the kernel's services are not counted
    uint32_t stackBytes = 0;   // deepest use of the 12 KiB kernel stack
};

// A create, close or device-control request on its way through a dispatch
// routine, and what the routine did with it.
struct Request {
    uint8_t major = 0;
    uint32_t code = 0;
    uint32_t inputLength = 0;
    uint32_t outputLength = 0;
    std::wstring fileName; // the file object's name: below the device, "" for the device itself
    PoolBlock system;      // the system buffer, at the same address for the driver
    uintptr_t irp = 0;     // where the image built the IRP the driver sees
    NTSTATUS returned = 0;
    NTSTATUS status = -1; // IoStatus.Status as completed
    uint32_t information = 0;
    int completions = 0;
};

class DriverImage {
  public:
    virtual ~DriverImage() = default;
    // DriverEntry. On failure the kernel drops the image without unloading.
    virtual NTSTATUS start() = 0;
    virtual void unload() = 0;
    virtual void dispatch(uintptr_t device, Request& request) = 0;
    virtual void* symbol(const char* name) const = 0;
    // The DRIVER_OBJECT that DriverEntry was given, in the driver's memory.
    virtual uintptr_t driverObject() const = 0;
    // The chain of the driver's devices as the image's memory holds it:
    // `of` 0 is the driver object's DeviceObject field, any other a
    // device's NextDevice. The kernel decides; the image reads and writes.
    virtual uintptr_t nextDevice(uintptr_t of) = 0;
    virtual void setNextDevice(uintptr_t of, uintptr_t device) = 0;
    // Device objects of a native image live on the host's heap, and the
    // kernel frees those the driver leaves behind.
    virtual bool objectsOnHostHeap() const { return false; }
    virtual CallFigures lastCall() const { return {}; }
    // The memory manager's mappings, made visible where the image's code
    // reads (called under the kernel's lock).
    virtual void mapped(const Mapping&) {}
    virtual void unmapping(const Mapping&) {}

    // The image's own state between calls, for a kernel's snapshot: taken
    // after the kernel's managers, restored after them. An image that
    // cannot be put back stops the kernel.
    struct State {
        virtual ~State() = default;
        virtual bool operator==(const State& other) const = 0;
    };
    virtual std::shared_ptr<const State> saveState() const;
    virtual void restoreState(const State& state);
};

// Null, with `error` saying why, when the file cannot be loaded.
std::unique_ptr<DriverImage> OpenNativeImage(Kernel& kernel, const std::string& path, std::string* error);
std::unique_ptr<DriverImage> OpenEmulatedImage(Kernel& kernel, const std::string& path, std::string* error);

} // namespace zhost
