// Records zerloctl's `watch --json` samples and `auto --json` events on one
// simulated notebook: what the two print side by side on Windows, where
// both reach the same hardware. One zerloctl process runs one watch and
// each process starts a notebook of its own, so here zerloctl's sampling and
// fan loop take turns on one: a poll, then a sample, every INTERVAL seconds
// of simulated time.
//   zerlomon_record PROFILE CONFIG INTERVAL COUNT > FILE
#include "cli.h"
#include "clock/make_clock.h"
#include "loop/auto_config.h"
#include "loop/fan_loop.h"
#include "sample/take_sample.h"

#include <iostream>

int main(int argc, char** argv)
{
    using namespace zerloctl;
    if (argc != 5) {
        std::cerr << "usage: zerlomon_record PROFILE CONFIG INTERVAL COUNT\n";
        return 2;
    }
    Cli cli;
    const std::unique_ptr<Platform> platform = MakePlatform();
    platform->addOptions(cli.app);
    const char* const machine[] = {"zerlomon_record", "--machine", argv[1]};
    cli.app.parse(3, machine);
    Transport& transport = platform->open(false);
    const std::unique_ptr<LoopClock> clock = MakeLoopClock(transport, 0);
    DriverFanIo io(transport);
    FanLoop loop(LoadAutoConfig(argv[2]), io, *clock,
                 [](const LoopEvent& event) { std::cout << FormatLoopEventJson(event) << "\n"; });
    const SamplePlan plan{.sensors = 4, .sio = true};
    const std::atomic<int> never{0};
    const double origin = clock->now();
    for (int sample = std::stoi(argv[4]); sample > 0; --sample) {
        loop.poll();
        std::cout << SampleJson(TakeSample(transport, plan, *clock, origin)).dump() << "\n";
        clock->sleep(std::stod(argv[3]), never);
    }
    platform->finish();
    return 0;
}
