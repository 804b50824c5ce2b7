// The Linux transport: boots the simulated kernel on the chosen machine,
// loads the driver and opens its link, as a Windows caller would. The
// machine's options, the driver image and the kernel's debug output exist
// here only; this is the one file of the client that sees the simulator.
#include "input/option_checks.h"
#include "requests/status_names.h"
#include "requests/transport.h"

#include "firmware_images/dump_import.h"
#include "machine/thermal_model.h"
#include "profile/profile.h"
#include "session/driver_session.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace zerloctl {

namespace {

// Each port access and SMI of the driver, printed as it is made.
bool PortTrace = false;

struct HostOptions {
    std::string driverImage; // empty: the kernel's default
    std::string machineFile;
    bool bare = false;
    std::vector<std::pair<uint32_t, std::string>> physFiles;
    // A real notebook's firmware: a raw memory image, `acpidump` text and a
    // `dmidecode --dump-bin` file, replacing the profile's own tables.
    std::string physImage;
    std::string acpiDump;
    std::string smbiosDump;
};

nlohmann::json ProfileFor(const HostOptions& options)
{
    nlohmann::json profile;
    if (options.bare)
        profile = zhost::BareProfile();
    else if (!options.machineFile.empty())
        profile = zhost::LoadProfileFile(options.machineFile);
    else
        profile = zhost::DefaultNotebookProfile();
    return zhost::ProfileForDumps(std::move(profile), !options.smbiosDump.empty(), !options.acpiDump.empty());
}

// The link's name as the client's messages print it.
std::string LinkName()
{
    const std::wstring name = ZERLO_LINK_NAME;
    return std::string(name.begin(), name.end());
}

class HostTransport : public Transport {
  public:
    HostTransport(const HostOptions& options, bool readOnly)
        : session_(ProfileFor(options), [&options](zhost::Machine& machine) {
              // The dumps go in before the driver exists: a bad file stops
              // the run before anything is loaded or sent. The ACPI tables
              // sit at their recorded addresses, so the SMBIOS placement
              // works around them.
              if (!options.physImage.empty()) zhost::ImportPhysImage(machine, options.physImage);
              if (!options.acpiDump.empty()) zhost::ImportAcpiDump(machine, options.acpiDump);
              if (!options.smbiosDump.empty()) zhost::ImportSmbiosDump(machine, options.smbiosDump);
              for (const auto& [address, path] : options.physFiles)
                  zhost::PlaceFile(machine, address, path);
              // A diagnostic, like strace's: on stderr, so that it shows the
              // fans while the command's own output is blocked or closed.
              if (PortTrace) machine.setPortTrace([](const std::string& line) { std::cerr << line << "\n"; });
          })
    {
        const NTSTATUS status =
            session_.start(options.driverImage.empty() ? zhost::DefaultDriverPath() : options.driverImage);
        if (!NT_SUCCESS(status)) {
            const std::string image = options.driverImage.empty() ? "driver" : options.driverImage;
            throw std::runtime_error(image + " did not start: " + DescribeStatus(static_cast<uint32_t>(status)));
        }
        access_ = readOnly ? zhost::kAccessRead : zhost::kAccessRead | zhost::kAccessWrite;
        if (!NT_SUCCESS(session_.open(access_))) throw std::runtime_error("cannot open " + LinkName());
    }

    ~HostTransport() override { finish(); }

    bool hasSimulatedClock() const override { return true; }
    uint64_t simulatedClockMs() const override { return session_.machine->clockMs(); }
    void advanceSimulatedClock(uint64_t ms) override { session_.machine->advanceClock(ms); }
    HostTransport(const HostTransport&) = delete;
    HostTransport& operator=(const HostTransport&) = delete;

    Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override
    {
        const zhost::IoctlOutcome outcome = session_.ioctl(code, input, outputLength);
        return {static_cast<uint32_t>(outcome.status), outcome.information, 0, outcome.reply};
    }

    std::vector<Reply> ioctlOnNewHandles(unsigned count, uint32_t code, const std::vector<uint8_t>& input,
                                         uint32_t outputLength) override
    {
        std::vector<zhost::Handle> handles;
        auto closeAll = [&] {
            bool closed = true;
            for (zhost::Handle handle : handles)
                closed = NT_SUCCESS(session_.kernel->close(handle)) && closed;
            handles.clear();
            return closed;
        };
        std::vector<Reply> replies;
        try {
            while (handles.size() < count)
                handles.push_back(openDevice());
            for (zhost::Handle handle : handles) {
                const zhost::IoctlOutcome outcome = session_.kernel->ioctl(handle, code, input, outputLength);
                replies.push_back({static_cast<uint32_t>(outcome.status), outcome.information, 0, outcome.reply});
            }
        } catch (...) {
            closeAll();
            throw;
        }
        if (!closeAll()) throw std::runtime_error("closing a handle of " + LinkName() + " failed");
        return replies;
    }

    bool heatSimulatedMachine(const std::string& thermal) override
    {
        try {
            zhost::ApplyThermal(*session_.machine, nlohmann::json::parse(thermal));
            return true;
        } catch (const std::exception&) {
            return false; // a machine without the sensors the section names
        }
    }

    void writePhysicalMemory(const std::string& path) override
    {
        errno = 0;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error(path + ": cannot write: " + std::strerror(errno ? errno : EIO));
        for (const auto& [start, length] : session_.machine->memory()->populatedRanges()) {
            const std::vector<uint8_t> bytes = session_.machine->memory()->read(start, length);
            out.seekp(start);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        out.close();
        if (!out) throw std::runtime_error(path + ": write failed: " + std::strerror(errno ? errno : EIO));
        // Tools that read a PC's memory image expect the whole first
        // megabyte (the BIOS area ends at 0xFFFFF), even where it is zero.
        constexpr std::uintmax_t kFirstMegabyte = 0x100000;
        std::error_code error;
        if (std::filesystem::file_size(path, error) < kFirstMegabyte && !error)
            std::filesystem::resize_file(path, kFirstMegabyte, error);
        if (error) throw std::runtime_error(path + ": write failed: " + error.message());
    }

    // Closes the device and unloads the driver: the debug output then ends
    // with the unload's lines.
    std::vector<std::string> finish()
    {
        session_.stop();
        return session_.kernel->probe().debugLog();
    }

  private:
    zhost::Handle openDevice()
    {
        zhost::Handle handle = 0;
        if (!NT_SUCCESS(session_.openAnother(access_, &handle))) throw std::runtime_error("cannot open " + LinkName());
        return handle;
    }

    zhost::DriverSession session_;
    uint32_t access_ = 0;
};

class HostPlatform : public Platform {
  public:
    void addOptions(CLI::App& app) override
    {
        app.add_flag("--kernel-log", kernelLog_, "print the kernel's debug output (DbgPrint) after the commands");
        app.add_flag("--port-trace", PortTrace, "print every port access and SMI of the driver as it is made");
        // An image that is a regular file but does not load is a driver that
        // did not start (exit 3).
        app.add_option("--sys", options_.driverImage,
                       "driver image to load instead of zerlo_driver.so: zerlo.sys runs on the emulated i386")
            ->check(RegularFile);
        app.add_option("--machine", options_.machineFile,
                       "machine profile (JSON) to simulate instead of the default notebook")
            ->check(RegularFile);
        app.add_flag("--bare", options_.bare, "a machine without SMM handler, Super-I/O chip or firmware tables");
        app.add_option("--phys", physArguments_, "ADDR=FILE: place a file's bytes at a physical address (repeatable)");
        app.add_option("--phys-image", options_.physImage,
                       "raw image of physical memory from address 0 (sparse files welcome)")
            ->check(RegularFile);
        app.add_option("--acpidump", options_.acpiDump, "replay a notebook's ACPI tables from `acpidump` text")
            ->check(RegularFile);
        app.add_option("--smbios-dump", options_.smbiosDump,
                       "replay a notebook's SMBIOS from a `dmidecode --dump-bin` file")
            ->check(RegularFile);
    }

    void checkOptions() override
    {
        for (const std::string& argument : physArguments_) {
            const auto eq = argument.find('=');
            size_t used = 0;
            unsigned long address = 0;
            try {
                address = std::stoul(argument.substr(0, eq), &used, 0);
            } catch (const std::exception&) {
                used = 0;
            }
            if (eq == std::string::npos || used != eq || address > 0xFFFFFFFFul)
                throw CLI::ValidationError("--phys", "expected ADDR=FILE, got " + argument);
            const std::string path = argument.substr(eq + 1);
            if (const std::string problem = RegularFile(path); !problem.empty())
                throw CLI::ValidationError("--phys", problem);
            options_.physFiles.emplace_back(static_cast<uint32_t>(address), path);
        }
        // dlopen searches the library path for a name without a slash.
        if (!options_.driverImage.empty())
            options_.driverImage = std::filesystem::absolute(options_.driverImage).string();
    }

    Transport& open(bool readOnly) override
    {
        transport_ = std::make_unique<HostTransport>(options_, readOnly);
        return *transport_;
    }

    void finish() override
    {
        if (!transport_) return; // no command needed the device
        const std::vector<std::string> log = transport_->finish();
        if (kernelLog_) {
            for (const std::string& line : log)
                std::cout << line;
        }
    }

  private:
    HostOptions options_;
    std::vector<std::string> physArguments_;
    bool kernelLog_ = false;
    std::unique_ptr<HostTransport> transport_;
};

} // namespace

std::unique_ptr<Platform> MakePlatform()
{
    return std::make_unique<HostPlatform>();
}

} // namespace zerloctl
