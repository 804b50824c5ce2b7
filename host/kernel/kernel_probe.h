// What tests, benchmarks and fuzzers look at and change inside a booted
// kernel, beside the requests a caller makes: the journal of the driver's
// service calls, the live mappings, the named objects, fault injection and
// snapshots. A program that only uses the driver needs none of it.
#pragma once

#include "fault_injection.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zhost {

class Kernel;
class DriverImage;
struct Request;
struct KernelSnapshot;

struct LiveMapping {
    uintptr_t virtualAddress;
    uint32_t physicalAddress;
    uint32_t length;
};

class KernelProbe {
  public:
    explicit KernelProbe(Kernel& kernel) : kernel_(kernel) {}

    // A driver symbol of the loaded image (for tests of single operations);
    // null for zerlo.sys, whose code is not the host's.
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

    // For a caller that calls a native image's dispatch routine itself (to
    // time it alone): the request that the routine's IofCompleteRequest
    // completes on this thread, until called again with null.
    void attendDirectCalls(Request* request);

    // Fuzzing: the whole state of this kernel, its machine and its loaded
    // driver, taken between requests, and put back in place of booting and
    // loading again. `matches` says whether the state now is the snapshot's,
    // which proves a restore complete.
    std::shared_ptr<const KernelSnapshot> snapshot() const;
    void restore(const KernelSnapshot& snapshot);
    bool matches(const KernelSnapshot& snapshot) const;
    DriverImage* image() const;
    // Reads every live mapping again from the machine's physical memory
    // (after a fuzzer rewrote it).
    void rereadMappings();

  private:
    Kernel& kernel_;
};

} // namespace zhost
