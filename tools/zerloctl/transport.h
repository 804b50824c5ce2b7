// How zerloctl reaches the driver: the simulated kernel on Linux, the real
// device through DeviceIoControl on Windows. Both give the NT view of a
// request: its status, the returned length and the bytes copied back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zerloctl {

struct Reply {
    uint32_t status = 0;      // NTSTATUS
    uint32_t information = 0; // returned length
    uint32_t win32Error = 0;  // Windows only: GetLastError() of a failed call
    std::vector<uint8_t> bytes;
};

struct TransportOptions {
    bool readOnly = false; // open the device for reading only
    // Host only: the simulated machine.
    std::string machineFile;
    bool bare = false;
    std::vector<std::pair<uint32_t, std::string>> physFiles;
    // A real notebook's firmware: a raw memory image, `acpidump` text and a
    // `dmidecode --dump-bin` file, replacing the profile's own tables.
    std::string physImage;
    std::string acpiDump;
    std::string smbiosDump;
};

class Transport {
  public:
    virtual ~Transport() = default;
    virtual Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) = 0;
    // Opens `count` more handles with the same access, all held open at once,
    // sends the request through each in turn and closes them: one reply per
    // handle. Throws std::runtime_error when an open or a close fails.
    virtual std::vector<Reply> ioctlOnNewHandles(unsigned count, uint32_t code, const std::vector<uint8_t>& input,
                                                 uint32_t outputLength) = 0;
    // Host only: the DbgPrint lines so far, and after the driver's unload.
    virtual std::vector<std::string> kernelLog() const { return {}; }
    virtual std::vector<std::string> finish() { return kernelLog(); }
    // Host only: the simulated machine's clock, which waiting advances (and
    // with it the machine's thermal model). False where time is real.
    virtual bool hasSimulatedClock() const { return false; }
    virtual uint64_t simulatedClockMs() const { return 0; }
    virtual void advanceSimulatedClock(uint64_t ms) { (void)ms; }
    // Host only: writes the simulated machine's physical memory to a file,
    // each byte at the offset of its physical address (a sparse image that
    // dmidecode --dev-mem and acpidump can read). False where not available.
    virtual bool dumpPhysical(const std::string& path)
    {
        (void)path;
        return false;
    }
};

// Throws std::runtime_error (or std::invalid_argument for bad machine files)
// when the driver cannot be reached.
std::unique_ptr<Transport> OpenTransport(const TransportOptions& options);

} // namespace zerloctl
