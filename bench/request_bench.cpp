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

void ThroughKernel(benchmark::State& state, const ZerloRequestInfo& request)
{
    const std::vector<uint8_t> input = ExampleInput(request);
    if (state.thread_index() == 0) gShared->reply(request.code, input, request.minimumOutput);
    for (auto _ : state) {
        zhost::IoctlOutcome outcome = gShared->ioctl(request.code, input, request.minimumOutput);
        benchmark::DoNotOptimize(outcome.status);
    }
    state.SetItemsProcessed(state.iterations());
}

using Dispatch = NTSTATUS NTAPI(PDEVICE_OBJECT, PIRP);

void DispatchAlone(benchmark::State& state, const ZerloRequestInfo& request)
{
    Dispatch* dispatch = gShared->symbol<Dispatch>("ZerloDispatchControl");
    PreparedRequest prepared(*gShared->kernel, request.code, ExampleInput(request), request.minimumOutput);
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

// The host's FAST_MUTEX (a pthread mutex), acquired and released once. The
// booted kernel's services keep NT's rules of ownership, so they run here
// as they do for the driver.
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
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        const std::string name = request.name;
        for (int threads : {1, 8}) {
            auto* bench = benchmark::RegisterBenchmark(("request/" + name).c_str(), ThroughKernel, request);
            bench->Setup(BootShared)->Teardown(DropShared)->Threads(threads);
            if (threads > 1) bench->UseRealTime();
            Quick(bench);
        }
    }
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
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
    Quick(benchmark::RegisterBenchmark("host/fast_mutex_pair", HostLock)->Setup(BootShared)->Teardown(DropShared));
    Quick(benchmark::RegisterBenchmark("host/_vsnprintf_line", HostFormat));
});

} // namespace
} // namespace zbench
