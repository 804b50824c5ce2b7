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
};

} // namespace zerloctl
