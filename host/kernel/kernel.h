// The host kernel: a simulated NT kernel that loads the unchanged driver (a
// shared object, opened afresh for every load so that each load starts from
// the zero state of a new image), routes open, close and device-control
// requests to it as NT's I/O manager does, and lends it the simulated
// machine's physical memory and ports. It is strict where NT is strict: a
// misuse that would bug-check Windows stops the process with "*** STOP".
#pragma once

#include "../machine/machine.h"
#include "host_ntddk.h"

#include <cstdint>
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
};

struct LiveMapping {
    uintptr_t virtualAddress;
    uint32_t physicalAddress;
    uint32_t length;
};

// A request as the I/O manager hands it to a dispatch routine: the IRP with
// its one stack location. IofCompleteRequest counts completions here, so a
// caller that builds one itself (to time a dispatch routine alone) resets
// the count before each call.
struct IrpRecord {
    IRP irp;
    IO_STACK_LOCATION stack;
    int completions = 0;
};

enum class KernelService { IoCreateDevice, IoCreateSymbolicLink, IoDeleteSymbolicLink };

// Access rights of a handle, as CreateFile asks for them.
constexpr uint32_t kAccessRead = 0x1;  // FILE_READ_DATA
constexpr uint32_t kAccessWrite = 0x2; // FILE_WRITE_DATA

using Handle = uint32_t;

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

    NTSTATUS load(const std::string& driverPath = DefaultDriverPath());
    void unload();
    bool loaded() const { return image_ != nullptr && started_; }

    // Opens a device through a name such as L"\\DosDevices\\ZerloDev" or
    // L"\\Device\\Zerlo", with kAccessRead and/or kAccessWrite.
    NTSTATUS open(const std::wstring& name, uint32_t access, Handle* handle);
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

    // --- the services the driver calls (exported with their NT names) ---
    NTSTATUS createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                          ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
    void deleteDevice(PDEVICE_OBJECT device);
    NTSTATUS createSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
    NTSTATUS deleteSymbolicLink(PUNICODE_STRING link);
    void completeRequest(PIRP irp);
    PVOID mapIoSpace(PHYSICAL_ADDRESS address, SIZE_T length, MEMORY_CACHING_TYPE cacheType);
    void unmapIoSpace(PVOID address, SIZE_T length);
    void debugPrint(const std::string& text);

  private:
    void ReleaseImage();
    struct Impl;
    Machine& machine_;
    void* image_ = nullptr;
    bool started_ = false;
    std::unique_ptr<Impl> impl_;
};

[[noreturn]] void BugCheck(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace zhost
