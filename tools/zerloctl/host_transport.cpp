// The Linux transport: boots the simulated kernel on the chosen machine,
// loads the driver and opens its link, as a Windows caller would.
#include "transport.h"

#include "kernel/kernel.h"
#include "machine/dump_import.h"
#include "machine/profile.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zerloctl {

namespace {

class HostTransport : public Transport {
  public:
    explicit HostTransport(const TransportOptions& options)
    {
        nlohmann::json profile;
        if (options.bare)
            profile = zhost::BareProfile();
        else if (!options.machineFile.empty())
            profile = zhost::LoadProfileFile(options.machineFile);
        else
            profile = zhost::DefaultNotebookProfile();
        profile = zhost::ProfileForDumps(std::move(profile), !options.smbiosDump.empty(), !options.acpiDump.empty());
        machine_ = zhost::BuildMachine(profile);
        // The dumps go in before the driver exists: a bad file stops the run
        // before anything is loaded or sent. The ACPI tables sit at their
        // recorded addresses, so the SMBIOS placement works around them.
        if (!options.physImage.empty()) zhost::ImportPhysImage(*machine_, options.physImage);
        if (!options.acpiDump.empty()) zhost::ImportAcpiDump(*machine_, options.acpiDump);
        if (!options.smbiosDump.empty()) zhost::ImportSmbiosDump(*machine_, options.smbiosDump);
        for (const auto& [address, path] : options.physFiles)
            zhost::PlaceFile(*machine_, address, path);

        kernel_ = std::make_unique<zhost::Kernel>(*machine_);
        const NTSTATUS status = kernel_->load();
        if (!NT_SUCCESS(status)) {
            throw std::runtime_error("driver did not start: status " + std::to_string(static_cast<uint32_t>(status)));
        }
        access_ = options.readOnly ? zhost::kAccessRead : zhost::kAccessRead | zhost::kAccessWrite;
        handle_ = openDevice();
    }

    ~HostTransport() override { finish(); }

    Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override
    {
        const zhost::IoctlOutcome outcome = kernel_->ioctl(handle_, code, input, outputLength);
        return {static_cast<uint32_t>(outcome.status), outcome.information, 0, outcome.reply};
    }

    std::vector<Reply> ioctlOnNewHandles(unsigned count, uint32_t code, const std::vector<uint8_t>& input,
                                         uint32_t outputLength) override
    {
        std::vector<zhost::Handle> handles;
        auto closeAll = [&] {
            bool closed = true;
            for (zhost::Handle handle : handles)
                closed = NT_SUCCESS(kernel_->close(handle)) && closed;
            handles.clear();
            return closed;
        };
        std::vector<Reply> replies;
        try {
            while (handles.size() < count)
                handles.push_back(openDevice());
            for (zhost::Handle handle : handles) {
                const zhost::IoctlOutcome outcome = kernel_->ioctl(handle, code, input, outputLength);
                replies.push_back({static_cast<uint32_t>(outcome.status), outcome.information, 0, outcome.reply});
            }
        } catch (...) {
            closeAll();
            throw;
        }
        if (!closeAll()) throw std::runtime_error("closing a handle of \\DosDevices\\ZerloDev failed");
        return replies;
    }

    bool dumpPhysical(const std::string& path) override
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error(path + ": cannot write");
        for (const auto& [start, length] : machine_->memory.populatedRanges()) {
            const std::vector<uint8_t> bytes = machine_->memory.read(start, length);
            out.seekp(start);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        if (!out) throw std::runtime_error(path + ": write failed");
        out.close();
        // Tools that read a PC's memory image expect the whole first
        // megabyte (the BIOS area ends at 0xFFFFF), even where it is zero.
        constexpr std::uintmax_t kFirstMegabyte = 0x100000;
        if (std::filesystem::file_size(path) < kFirstMegabyte) std::filesystem::resize_file(path, kFirstMegabyte);
        return true;
    }

    bool hasSimulatedClock() const override { return true; }
    uint64_t simulatedClockMs() const override { return machine_->clockMs(); }
    void advanceSimulatedClock(uint64_t ms) override { machine_->advanceClock(ms); }

    std::vector<std::string> kernelLog() const override { return kernel_->debugLog(); }

    std::vector<std::string> finish() override
    {
        if (kernel_ && kernel_->loaded()) {
            kernel_->close(handle_);
            kernel_->unload();
        }
        return kernel_ ? kernel_->debugLog() : std::vector<std::string>{};
    }

  private:
    zhost::Handle openDevice()
    {
        zhost::Handle handle = 0;
        if (!NT_SUCCESS(kernel_->open(L"\\DosDevices\\ZerloDev", access_, &handle))) {
            throw std::runtime_error("cannot open \\DosDevices\\ZerloDev");
        }
        return handle;
    }

    std::unique_ptr<zhost::Machine> machine_;
    std::unique_ptr<zhost::Kernel> kernel_;
    uint32_t access_ = 0;
    zhost::Handle handle_ = 0;
};

} // namespace

std::unique_ptr<Transport> OpenTransport(const TransportOptions& options)
{
    return std::make_unique<HostTransport>(options);
}

} // namespace zerloctl
