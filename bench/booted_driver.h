// A driver loaded by the host kernel on a simulated notebook, with one handle
// open for reading and writing, and the machines the benchmarks measure on.
#pragma once

#include "frame/zerlo_ioctl.h"
#include "kernel/driver_image.h"
#include "session/driver_session.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

namespace zbench {

// Stops the run: a benchmark of a request that fails measures the wrong path.
[[noreturn]] void Fail(const std::string& what);

// The input each benchmark sends with a request of the contract's table: fan
// 1 and state or level 1, or sensor 1, where the request takes arguments
// (every word in range for each of them), none where it takes none.
std::vector<uint8_t> ExampleInput(const ZerloRequestInfo& request);

class BootedDriver : public zhost::DriverSession {
  public:
    // `prepare` changes the machine before the driver starts (and maps the
    // BIOS window).
    explicit BootedDriver(const nlohmann::json& profile = zhost::DefaultNotebookProfile(),
                          const std::function<void(zhost::Machine&)>& prepare = {},
                          const std::string& driverPath = zhost::DefaultDriverPath());
    ~BootedDriver();
    BootedDriver(const BootedDriver&) = delete;
    BootedDriver& operator=(const BootedDriver&) = delete;

    // A successful request, or Fail().
    std::vector<uint8_t> reply(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength);

    template <class T> T* symbol(const char* name)
    {
        void* found = kernel->probe().symbol(name);
        if (found == nullptr) Fail(std::string("driver symbol missing: ") + name);
        return reinterpret_cast<T*>(found);
    }
};

// A buffered request as the I/O manager hands it over, for calling the
// dispatch routine without the host kernel's per-request work (pool block
// with guard pages, copies, checks).
class PreparedRequest {
  public:
    // The kernel completes the request on this thread while it lives.
    PreparedRequest(zhost::Kernel& kernel, uint32_t code, std::vector<uint8_t> input, uint32_t outputLength);
    ~PreparedRequest();
    PreparedRequest(const PreparedRequest&) = delete;
    PreparedRequest& operator=(const PreparedRequest&) = delete;
    // Restores the input (the reply overwrote it) and the IRP's fields.
    void reset();
    PIRP irp() { return &irp_; }
    const uint8_t* buffer() const { return buffer_.data(); }

  private:
    zhost::Kernel& kernel_;
    IRP irp_{};
    IO_STACK_LOCATION stack_{};
    zhost::Request request_;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> buffer_;
};

// The default notebook whose SMBIOS structure table is its own structures
// repeated (end-of-table last) to about tableBytes, at tableAddress; each
// repeated structure carries `extraStrings` more strings that no report
// line shows (as OEM and asset strings of real tables do).
nlohmann::json SmbiosTableProfile(size_t tableBytes, uint32_t tableAddress, int extraStrings = 0);
// The default notebook without SMBIOS: its F segment holds arbitrary code
// bytes (no "_SM_" anchor) instead.
nlohmann::json NoSmbiosProfile();
void FillFSegmentWithCode(zhost::Machine& machine);
// The default notebook with an XSDT (and RSDT) that lists `tables` tables
// laid out back to back above the default ones.
nlohmann::json ManyAcpiTablesProfile(int tables);

} // namespace zbench
