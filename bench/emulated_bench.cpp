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

void Request(benchmark::State& state, const nlohmann::json& profile, const ZerloRequestInfo& request)
{
    BootedDriver driver(profile, {}, SysImage());
    const std::vector<uint8_t> input = ExampleInput(request);
    for (auto _ : state)
        driver.reply(request.code, input, request.minimumOutput);
    const zhost::CallFigures figures = driver.kernel->lastCall();
    state.counters["instructions"] = static_cast<double>(figures.instructions);
    state.counters["stack_bytes"] = figures.stackBytes;
}

const bool kRegistered = [] {
    if (!std::filesystem::exists(SysImage())) return false;
    const nlohmann::json notebook = zhost::DefaultNotebookProfile();
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        benchmark::RegisterBenchmark((std::string("sys/") + request.name).c_str(), Request, notebook, request)
            ->MinTime(0.05);
    }
    const ZerloRequestInfo& smbios = *ZerloFindRequest(IOCTL_GET_SMBIOS_REPORT);
    const ZerloRequestInfo& acpi = *ZerloFindRequest(IOCTL_GET_ACPI_REPORT);
    benchmark::RegisterBenchmark("sys/IOCTL_GET_SMBIOS_REPORT/4KiB", Request, SmbiosTableProfile(4096, 0xF0000), smbios)
        ->MinTime(0.05);
    benchmark::RegisterBenchmark("sys/IOCTL_GET_SMBIOS_REPORT/16KiB", Request, SmbiosTableProfile(16384, 0x1FF80000, 1),
                                 smbios)
        ->MinTime(0.05);
    benchmark::RegisterBenchmark("sys/IOCTL_GET_ACPI_REPORT/60_tables", Request, ManyAcpiTablesProfile(60), acpi)
        ->MinTime(0.05);
    return true;
}();

} // namespace
} // namespace zbench
