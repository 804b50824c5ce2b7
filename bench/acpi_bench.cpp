// The ACPI survey on the default notebook and on firmware with 60 tables,
// with what it asks of the memory manager, beside the host kernel's own cost
// of one mapping.
#include "bench_registry.h"
#include "booted_driver.h"

#include "frame/zerlo_ioctl.h"

#include <benchmark/benchmark.h>

namespace zbench {
namespace {

void Survey(benchmark::State& state, const nlohmann::json& profile)
{
    BootedDriver driver(profile);
    const std::vector<uint8_t> first = driver.reply(IOCTL_GET_ACPI_REPORT, {}, ZERLO_ACPI_REPORT_SIZE);
    if (std::string(reinterpret_cast<const char*>(first.data())).find("*** ") != std::string::npos) {
        Fail("the survey met an error");
    }
    const uint64_t calls = driver.kernel->probe().mapCalls();
    const uint64_t bytes = driver.kernel->probe().bytesMapped();
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.ioctl(IOCTL_GET_ACPI_REPORT, {}, ZERLO_ACPI_REPORT_SIZE).status);
    }
    using benchmark::Counter;
    state.counters["map_calls"] =
        Counter(static_cast<double>(driver.kernel->probe().mapCalls() - calls), Counter::kAvgIterations);
    state.counters["bytes_mapped"] =
        Counter(static_cast<double>(driver.kernel->probe().bytesMapped() - bytes), Counter::kAvgIterations);
    state.counters["registry_rows"] = *driver.symbol<LONG>("RegistryCount");
}

// One MmMapIoSpace and MmUnmapIoSpace of a table header in the host kernel:
// arena block, copy of the machine's bytes, page protections.
void HostMapUnmap(benchmark::State& state)
{
    BootedDriver driver;
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0x1FFF0100;
    for (auto _ : state) {
        PVOID mapped = MmMapIoSpace(address, 36, MmNonCached);
        MmUnmapIoSpace(mapped, 36);
    }
}

const Registration registration([] {
    Quick(benchmark::RegisterBenchmark("acpi_survey/default", Survey, zhost::DefaultNotebookProfile()));
    Quick(benchmark::RegisterBenchmark("acpi_survey/60_tables", Survey, ManyAcpiTablesProfile(60)));
    Quick(benchmark::RegisterBenchmark("host/map_unmap_36_bytes", HostMapUnmap));
});

} // namespace
} // namespace zbench
