// The SMBIOS report and the CPU-speed text on tables of several sizes, beside
// one plain read of the same table; and the entry-point search that finds
// nothing, beside a plain scan of the same 64 KiB for the anchor.
#include "bench_registry.h"
#include "booted_driver.h"

#include "firmware/smbios_access.h"
#include "frame/zerlo_ioctl.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace zbench {
namespace {

struct Table {
    const char* name;
    std::function<nlohmann::json()> profile;
};

const std::vector<Table>& Tables()
{
    static const std::vector<Table> tables = {
        {"default", [] { return zhost::DefaultNotebookProfile(); }},
        // In the F segment, read through the BIOS window.
        {"4KiB", [] { return SmbiosTableProfile(4096, 0xF0000); }},
        // Above the window: the table's own mapping, made once and kept.
        {"16KiB", [] { return SmbiosTableProfile(16384, 0x1FF80000, 1); }},
    };
    return tables;
}

const SmbiosStateRecord& State(BootedDriver& driver)
{
    return *driver.symbol<SmbiosStateRecord>("SmbiosState");
}

void SetTableCounters(benchmark::State& state, BootedDriver& driver, size_t textBytes)
{
    const SmbiosStateRecord& smbios = State(driver);
    const UCHAR* count = smbios.entryPoint + SMBIOS_EP_STRUCTURE_COUNT;
    state.counters["table_bytes"] = static_cast<double>(smbios.tableLength);
    state.counters["structures"] = count[0] | count[1] << 8;
    state.counters["text_bytes"] = static_cast<double>(textBytes);
}

size_t TextLength(const std::vector<uint8_t>& reply)
{
    return std::strlen(reinterpret_cast<const char*>(reply.data()));
}

void ReportThroughKernel(benchmark::State& state, const Table& table)
{
    BootedDriver driver(table.profile());
    const std::vector<uint8_t> first = driver.reply(IOCTL_GET_SMBIOS_REPORT, {}, ZERLO_SMBIOS_REPORT_SIZE);
    if (first[0] == '*') Fail(std::string("no SMBIOS report on ") + table.name);
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.ioctl(IOCTL_GET_SMBIOS_REPORT, {}, ZERLO_SMBIOS_REPORT_SIZE).status);
    }
    SetTableCounters(state, driver, TextLength(first));
}

void ReportAlone(benchmark::State& state, const Table& table)
{
    BootedDriver driver(table.profile());
    auto* build = driver.symbol<void(char*)>("BuildSmbiosReport");
    std::vector<char> buffer(ZERLO_SMBIOS_REPORT_SIZE);
    for (auto _ : state) {
        build(buffer.data());
        benchmark::ClobberMemory();
    }
    SetTableCounters(state, driver, std::strlen(buffer.data()));
}

void CpuSpeedThroughKernel(benchmark::State& state, const Table& table)
{
    BootedDriver driver(table.profile());
    const std::vector<uint8_t> first = driver.reply(IOCTL_GET_CPU_SPEED, {}, ZERLO_CPU_SPEED_TEXT_SIZE);
    if (first[0] == '-') Fail(std::string("no CPU speed on ") + table.name);
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.ioctl(IOCTL_GET_CPU_SPEED, {}, ZERLO_CPU_SPEED_TEXT_SIZE).status);
    }
}

// The floor of any report: every byte of the table read once.
void ReadTableOnce(benchmark::State& state, const Table& table)
{
    BootedDriver driver(table.profile());
    driver.reply(IOCTL_GET_SMBIOS_REPORT, {}, ZERLO_SMBIOS_REPORT_SIZE);
    const SmbiosStateRecord& smbios = State(driver);
    for (auto _ : state) {
        unsigned sum = 0;
        for (const UCHAR* byte = smbios.tableBase; byte < smbios.tableEnd; ++byte)
            sum += *byte;
        benchmark::DoNotOptimize(sum);
    }
    state.counters["table_bytes"] = static_cast<double>(smbios.tableEnd - smbios.tableBase);
}

std::unique_ptr<BootedDriver> BootWithoutSmbios()
{
    return std::make_unique<BootedDriver>(NoSmbiosProfile(), FillFSegmentWithCode);
}

// Every candidate of the F segment, as each request repeats it while no
// entry point has been found.
void FailedSearch(benchmark::State& state)
{
    auto driver = BootWithoutSmbios();
    auto* find = driver->symbol<void(PUCHAR)>("SmbiosFindEntryPoint");
    const PUCHAR window = *driver->symbol<PUCHAR>("BiosWindow");
    for (auto _ : state) {
        find(window + SMBIOS_SEARCH_OFFSET);
        benchmark::ClobberMemory();
    }
    if (State(*driver).entryPoint != nullptr) Fail("an entry point was found in random bytes");
    state.counters["candidates"] = SMBIOS_SEARCH_LENGTH / SMBIOS_SEARCH_STEP;
}

// The floor: the same candidates compared with the anchor and nothing else.
void PlainAnchorScan(benchmark::State& state)
{
    auto driver = BootWithoutSmbios();
    const UCHAR* area = *driver->symbol<PUCHAR>("BiosWindow") + SMBIOS_SEARCH_OFFSET;
    for (auto _ : state) {
        const UCHAR* found = nullptr;
        for (ULONG offset = 0; offset < SMBIOS_SEARCH_LENGTH; offset += SMBIOS_SEARCH_STEP) {
            if (std::memcmp(area + offset, "_SM_", 4) == 0) {
                found = area + offset;
                break;
            }
        }
        benchmark::DoNotOptimize(found);
    }
    state.counters["candidates"] = SMBIOS_SEARCH_LENGTH / SMBIOS_SEARCH_STEP;
}

void FailedReportThroughKernel(benchmark::State& state)
{
    auto driver = BootWithoutSmbios();
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver->ioctl(IOCTL_GET_SMBIOS_REPORT, {}, ZERLO_SMBIOS_REPORT_SIZE).status);
    }
}

const Registration registration([] {
    for (const Table& table : Tables()) {
        const std::string name = table.name;
        Quick(benchmark::RegisterBenchmark(("smbios_report/" + name).c_str(), ReportThroughKernel, table));
        Quick(benchmark::RegisterBenchmark(("smbios_report_alone/" + name).c_str(), ReportAlone, table));
        Quick(benchmark::RegisterBenchmark(("smbios_table_read_once/" + name).c_str(), ReadTableOnce, table));
        if (name != "4KiB") {
            Quick(benchmark::RegisterBenchmark(("cpu_speed/" + name).c_str(), CpuSpeedThroughKernel, table));
        }
    }
    Quick(benchmark::RegisterBenchmark("smbios_search_none/driver", FailedSearch));
    Quick(benchmark::RegisterBenchmark("smbios_search_none/plain_scan", PlainAnchorScan));
    Quick(benchmark::RegisterBenchmark("smbios_report/no_smbios", FailedReportThroughKernel));
});

} // namespace
} // namespace zbench
