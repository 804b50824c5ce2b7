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
};

} // namespace zerloctl
