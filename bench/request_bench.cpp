// One request of each code: through the host kernel (what a caller pays on
// the host), through the dispatch routine alone (the driver's decode, checks,
// lock and reply, plus the machine models it drives), and the models and the
// host's lock alone, so that the driver's own share can be told apart.
#include "bench_registry.h"
#include "booted_driver.h"

#include "frame/zerlo_ioctl.h"

#include <benchmark/benchmark.h>
#include <cstdarg>

namespace zbench {
namespace {

struct RequestCase {
    uint32_t code;
    const char* name;
    std::vector<uint8_t> input;
    uint32_t outputLength;
};

std::vector<uint8_t> Words(uint16_t first, uint16_t second)
{
    return {static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(second),
            static_cast<uint8_t>(second >> 8)};
}

const std::vector<RequestCase>& Cases()
{
    static const std::vector<RequestCase> cases = {
        {IOCTL_SMM_SET_FAN_STATE, "IOCTL_SMM_SET_FAN_STATE", Words(1, 1), 4},
        {IOCTL_SMM_GET_FAN_STATE, "IOCTL_SMM_GET_FAN_STATE", Words(1, 0), 4},
        {IOCTL_SMM_GET_FAN_SPEED, "IOCTL_SMM_GET_FAN_SPEED", Words(1, 0), 4},
        {IOCTL_GET_CPU_SPEED, "IOCTL_GET_CPU_SPEED", {}, ZERLO_CPU_SPEED_TEXT_SIZE},
        {IOCTL_SIO_DETECT, "IOCTL_SIO_DETECT", {}, 4},
        {IOCTL_SIO_SET_FAN_LEVEL, "IOCTL_SIO_SET_FAN_LEVEL", Words(1, 20), 4},
        {IOCTL_SIO_GET_FAN_LEVEL, "IOCTL_SIO_GET_FAN_LEVEL", Words(1, 0), 4},
        {IOCTL_SMM_GET_TEMPERATURE, "IOCTL_SMM_GET_TEMPERATURE", Words(0, 0), 4},
        {IOCTL_GET_VERSION, "IOCTL_GET_VERSION", {}, 8},
        {IOCTL_GET_SMBIOS_REPORT, "IOCTL_GET_SMBIOS_REPORT", {}, ZERLO_SMBIOS_REPORT_SIZE},
        {IOCTL_GET_ACPI_REPORT, "IOCTL_GET_ACPI_REPORT", {}, ZERLO_ACPI_REPORT_SIZE},
    };
    return cases;
}

// Shared by the threads of one benchmark; made and dropped outside the timed
// threads.
std::unique_ptr<BootedDriver> gShared;

void BootShared(const benchmark::State&)
{
    gShared = std::make_unique<BootedDriver>();
    // The level requests need a detected chip, as a utility's first call does.
    gShared->reply(IOCTL_SIO_DETECT, {}, 4);
}

void DropShared(const benchmark::State&)
{
    gShared.reset();
}

void ThroughKernel(benchmark::State& state, const RequestCase& request)
{
    if (state.thread_index() == 0) gShared->reply(request.code, request.input, request.outputLength);
    for (auto _ : state) {
        zhost::IoctlOutcome outcome = gShared->ioctl(request.code, request.input, request.outputLength);
        benchmark::DoNotOptimize(outcome.status);
    }
    state.SetItemsProcessed(state.iterations());
}

using Dispatch = NTSTATUS NTAPI(PDEVICE_OBJECT, PIRP);

void DispatchAlone(benchmark::State& state, const RequestCase& request)
{
    Dispatch* dispatch = gShared->symbol<Dispatch>("ZerloDispatchControl");
    PreparedRequest prepared(*gShared->kernel, request.code, request.input, request.outputLength);
    // The dispatch routine does not look at its device object.
    if (dispatch(nullptr, prepared.irp()) != STATUS_SUCCESS) Fail(std::string(request.name) + " failed");
    for (auto _ : state) {
        prepared.reset();
        benchmark::DoNotOptimize(dispatch(nullptr, prepared.irp()));
    }
}

// The driver's operation for a fan speed: the SMI call and its result, no
// request around it.
void FanSpeedOperation(benchmark::State& state)
{
    auto* operation = gShared->symbol<ULONG(USHORT)>("SmmGetFanSpeed");
    for (auto _ : state)
        benchmark::DoNotOptimize(operation(1));
}

// What the simulated firmware costs for that call: the gate's ports, the
// port log and the handler, under the machine's lock.
void FanSpeedModel(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(gShared->machine->smmTrigger({0x02A3, 1, 0, 0}));
}

int CallFormat(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return written;
}

// The host's FAST_MUTEX (a pthread mutex), acquired and released once.
void HostLock(benchmark::State& state)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    for (auto _ : state) {
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    }
}

// One typical report line through the host's _vsnprintf, which every
// report piece goes through.
void HostFormat(benchmark::State& state)
{
    char line[128];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            CallFormat(line, sizeof line, "SODIMM Socket '%s': %d MB (%d MHz)\r\n", "DIMM_A", 512, 333));
        benchmark::ClobberMemory();
    }
}

const Registration registration([] {
    for (const RequestCase& request : Cases()) {
        const std::string name = request.name;
        for (int threads : {1, 8}) {
            auto* bench = benchmark::RegisterBenchmark(("request/" + name).c_str(), ThroughKernel, request);
            bench->Setup(BootShared)->Teardown(DropShared)->Threads(threads);
            if (threads > 1) bench->UseRealTime();
            Quick(bench);
        }
    }
    for (const RequestCase& request : Cases()) {
        auto* bench =
            benchmark::RegisterBenchmark(("dispatch/" + std::string(request.name)).c_str(), DispatchAlone, request);
        Quick(bench->Setup(BootShared)->Teardown(DropShared));
    }
    Quick(benchmark::RegisterBenchmark("operation/SmmGetFanSpeed", FanSpeedOperation)
              ->Setup(BootShared)
              ->Teardown(DropShared));
    Quick(benchmark::RegisterBenchmark("model/smm_fan_speed_call", FanSpeedModel)
              ->Setup(BootShared)
              ->Teardown(DropShared));
    Quick(benchmark::RegisterBenchmark("host/fast_mutex_pair", HostLock));
    Quick(benchmark::RegisterBenchmark("host/_vsnprintf_line", HostFormat));
});

} // namespace
} // namespace zbench
