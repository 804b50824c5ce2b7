// The shipped zerlo.sys on the emulated i386: instructions executed inside
// the driver and the deepest kernel stack per request. Both are exact (the
// emulator counts them), so these rows are budgets rather than timings.
#include "booted_driver.h"

#include "frame/zerlo_ioctl.h"

#include <benchmark/benchmark.h>
#include <filesystem>

namespace zbench {
namespace {

std::string SysImage()
{
    if (const char* path = std::getenv("ZERLO_SYS")) return path;
    return (std::filesystem::path(zhost::DefaultDriverPath()).parent_path() / ".." / "target" / "zerlo.sys").string();
}

void Request(benchmark::State& state, const nlohmann::json& profile, uint32_t code, uint32_t output)
{
    BootedDriver driver(profile, {}, SysImage());
    const std::vector<uint8_t> input{1, 0, 1, 0};
    for (auto _ : state)
        driver.reply(code, input, output);
    const zhost::CallFigures figures = driver.kernel->lastCall();
    state.counters["instructions"] = static_cast<double>(figures.instructions);
    state.counters["stack_bytes"] = figures.stackBytes;
}

const bool kRegistered = [] {
    if (!std::filesystem::exists(SysImage())) return false;
    const nlohmann::json notebook = zhost::DefaultNotebookProfile();
    const struct {
        const char* name;
        uint32_t code;
        uint32_t output;
    } requests[] = {
        {"IOCTL_SMM_SET_FAN_STATE", IOCTL_SMM_SET_FAN_STATE, 4},
        {"IOCTL_SMM_GET_FAN_STATE", IOCTL_SMM_GET_FAN_STATE, 4},
        {"IOCTL_SMM_GET_FAN_SPEED", IOCTL_SMM_GET_FAN_SPEED, 4},
        {"IOCTL_GET_CPU_SPEED", IOCTL_GET_CPU_SPEED, 8},
        {"IOCTL_SIO_DETECT", IOCTL_SIO_DETECT, 4},
        {"IOCTL_SIO_SET_FAN_LEVEL", IOCTL_SIO_SET_FAN_LEVEL, 4},
        {"IOCTL_SIO_GET_FAN_LEVEL", IOCTL_SIO_GET_FAN_LEVEL, 4},
        {"IOCTL_SMM_GET_TEMPERATURE", IOCTL_SMM_GET_TEMPERATURE, 4},
        {"IOCTL_GET_VERSION", IOCTL_GET_VERSION, 8},
        {"IOCTL_GET_SMBIOS_REPORT", IOCTL_GET_SMBIOS_REPORT, 16384},
        {"IOCTL_GET_ACPI_REPORT", IOCTL_GET_ACPI_REPORT, 32768},
    };
    for (const auto& request : requests) {
        benchmark::RegisterBenchmark((std::string("sys/") + request.name).c_str(), Request, notebook, request.code,
                                     request.output)
            ->MinTime(0.05);
    }
    benchmark::RegisterBenchmark("sys/IOCTL_GET_SMBIOS_REPORT/4KiB", Request, SmbiosTableProfile(4096, 0xF0000),
                                 IOCTL_GET_SMBIOS_REPORT, 16384)
        ->MinTime(0.05);
    benchmark::RegisterBenchmark("sys/IOCTL_GET_SMBIOS_REPORT/16KiB", Request, SmbiosTableProfile(16384, 0x1FF80000, 1),
                                 IOCTL_GET_SMBIOS_REPORT, 16384)
        ->MinTime(0.05);
    benchmark::RegisterBenchmark("sys/IOCTL_GET_ACPI_REPORT/60_tables", Request, ManyAcpiTablesProfile(60),
                                 IOCTL_GET_ACPI_REPORT, 32768)
        ->MinTime(0.05);
    return true;
}();

} // namespace
} // namespace zbench
