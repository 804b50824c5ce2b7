// The one way to start the driver on a simulated notebook: the machine built
// from a profile, a kernel on it, the driver loaded (the host build, or the
// image ZERLO_DRIVER names) and the device opened. Tests, benchmarks,
// fuzzers and the client's host transport all start it so, and all look
// inside through the kernel's probe.
#pragma once

#include "frame/zerlo_ioctl.h"
#include "kernel/kernel.h"
#include "kernel/kernel_probe.h"
#include "profile/profile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

namespace zhost {

class DriverSession {
  public:
    // `prepare` changes the machine before the kernel exists (dumps, files,
    // a port trace), so nothing of the driver has seen it yet.
    explicit DriverSession(const nlohmann::json& profile = DefaultNotebookProfile(),
                           const std::function<void(Machine&)>& prepare = {});

    NTSTATUS start(const std::string& driverPath = DefaultDriverPath()) { return kernel->load(driverPath); }
    // Opens the device as `handle`, the handle ioctl() uses.
    NTSTATUS open(uint32_t access = kAccessRead | kAccessWrite) { return openAnother(access, &handle); }
    // A further handle of the device.
    NTSTATUS openAnother(uint32_t access, Handle* another) { return kernel->open(ZERLO_LINK_NAME, access, another); }

    IoctlOutcome ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength)
    {
        return kernel->ioctl(handle, code, input, outputLength);
    }

    // Closes `handle` and unloads the driver, if it is loaded: what the
    // driver's debug output shows last.
    void stop();

    std::unique_ptr<Machine> machine;
    std::unique_ptr<Kernel> kernel;
    Handle handle = 0;
};

} // namespace zhost
