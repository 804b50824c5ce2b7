// How zerloctl reaches the driver: the simulated kernel on Linux
// (transport_host.cpp), the real device through DeviceIoControl on Windows
// (transport_win.cpp); each build compiles one. Both give the NT view of a
// request: its status, the returned length and the bytes copied back.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace zerloctl {

struct Reply {
    uint32_t status = 0;      // NTSTATUS
    uint32_t information = 0; // returned length
    uint32_t win32Error = 0;  // Windows only: GetLastError() of a failed call
    std::vector<uint8_t> bytes;
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
    // The clock the fan loop waits by: the simulated machine's on the host,
    // which waiting advances (and with it the machine's thermal model);
    // false where time is real.
    virtual bool hasSimulatedClock() const { return false; }
    virtual uint64_t simulatedClockMs() const { return 0; }
    virtual void advanceSimulatedClock(uint64_t ms) { (void)ms; }
    // From now on the simulated machine's sensors follow `thermal`, a machine
    // profile's "thermal" section as JSON text, its times counted from power-on.
    // False where the machine is real or cannot take the section.
    virtual bool heatSimulatedMachine(const std::string& thermal)
    {
        (void)thermal;
        return false;
    }
    // The simulated machine's physical memory as a sparse file, byte N at
    // address N. Throws std::runtime_error when it cannot be written.
    virtual void writePhysicalMemory(const std::string& path)
    {
        throw std::runtime_error(path + ": no simulated machine to dump");
    }
};

// What only one build has: the host simulates the machine the driver runs on
// and has options of its own; Windows opens the real device.
class Platform {
  public:
    virtual ~Platform() = default;
    virtual void addOptions(CLI::App& app) = 0;
    // After parsing; throws CLI::ValidationError for a bad option value.
    virtual void checkOptions() {}
    // Throws std::invalid_argument for a malformed input file (a usage
    // error) and std::runtime_error when the driver cannot be reached.
    virtual Transport& open(bool readOnly) = 0;
    // After the commands: closes the device if it was opened (the host also
    // unloads the driver and prints its debug output when asked to).
    virtual void finish() {}
};

std::unique_ptr<Platform> MakePlatform();

} // namespace zerloctl
