#include "loop_commands.h"

#include "auto_config.h"
#include "fan_loop.h"
#include "loop_support.h"

#include <iostream>
#include <memory>
#include <sstream>

namespace zerloctl {

namespace {

struct AutoOptions {
    std::string configPath;
    bool dryRun = false;
    bool once = false;
    bool printExample = false;
    double timeScale = 1;
};

int RunAuto(Transport& transport, bool asJson, const AutoConfig& config, const AutoOptions& options)
{
    InstallStopHandlers();
    const std::unique_ptr<LoopClock> clock = MakeLoopClock(transport, options.timeScale);
    DriverFanIo io(transport);
    FanLoop loop(
        config, io, *clock,
        [asJson](const LoopEvent& event) {
            std::cout << (asJson ? FormatLoopEventJson(event) : FormatLoopEvent(event)) << std::endl;
        },
        options.dryRun);
    // One poll leaves the fans as it set them: that is what a script that
    // polls from a timer wants; on_exit is for a loop that is stopped.
    if (options.once) return loop.poll(true) ? 0 : 1;
    loop.run(StopRequest(), StopName, TakeRecheckRequest);
    MarkStopped();
    return 0;
}

void AddTimeScale([[maybe_unused]] CLI::App* command, [[maybe_unused]] double& scale)
{
#if !defined(_WIN32)
    command
        ->add_option("--time-scale", scale,
                     "simulated seconds per real second on the simulated notebook (0: no real waiting)")
        ->check(CLI::NonNegativeNumber);
#endif
}

// Every sample is a handful of firmware calls, each of which holds every
// processor in system-management mode while the BIOS works: the floor keeps
// a live view from becoming a load of its own.
constexpr double kWatchFloorSeconds = 0.5;

std::string Show(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

} // namespace

void RegisterLoopCommands(CLI::App& app, const std::function<void(TransportCommand)>& queue)
{
    auto watch = std::make_shared<WatchOptions>();
    auto* watchCommand = app.add_subcommand("watch", "live view of fans and sensors until Ctrl-C");
    watchCommand
        ->add_option("--interval", watch->intervalSeconds,
                     "seconds between samples, " + Show(kWatchFloorSeconds) + " to 86400 (default 1)")
        ->check(CLI::Validator(
            [](const std::string& text) -> std::string {
                double seconds = 0;
                if (!CLI::detail::lexical_cast(text, seconds)) return text + " is not a number";
                if (seconds < kWatchFloorSeconds)
                    return text + " is below the floor of " + Show(kWatchFloorSeconds) + " seconds";
                return seconds > 86400 ? text + " is above 86400 seconds" : "";
            },
            "SECONDS"));
    watchCommand->add_option("--count", watch->count, "stop after N samples");
    watchCommand->add_option("--sensors", watch->sensors, "how many sensors to read, from 0")
        ->check(CLI::Range(0, 256));
    watchCommand->add_flag("--sio", watch->sio, "also show both fans' Super-I/O levels");
    AddTimeScale(watchCommand, watch->timeScale);
    watchCommand->callback([watch, queue] {
        queue([options = *watch](Transport& transport, bool asJson) { return RunWatch(transport, asJson, options); });
        *watch = WatchOptions{};
    });

    auto automatic = std::make_shared<AutoOptions>();
    auto* autoCommand = app.add_subcommand("auto", "keep the notebook cool: set fan states from temperatures");
    autoCommand->add_option("--config", automatic->configPath, "the loop's configuration (JSON)");
    autoCommand->add_flag("--dry-run", automatic->dryRun, "log what would be set, set nothing");
    autoCommand->add_flag("--once", automatic->once, "one poll, then exit (fans stay as set)");
    autoCommand->add_flag("--print-example-config", automatic->printExample, "print a valid example configuration");
    AddTimeScale(autoCommand, automatic->timeScale);
    autoCommand->callback([automatic, queue] {
        const AutoOptions options = *automatic;
        *automatic = AutoOptions{};
        if (options.printExample) {
            std::cout << ExampleAutoConfig();
            throw CLI::Success();
        }
        if (options.configPath.empty()) throw CLI::RequiredError("auto --config");
        // The whole file is checked before the driver is even opened.
        AutoConfig config;
        try {
            config = LoadAutoConfig(options.configPath);
        } catch (const ConfigError& error) {
            throw CLI::ValidationError("auto --config", error.what());
        }
        queue([config, options](Transport& transport, bool asJson) {
            return RunAuto(transport, asJson, config, options);
        });
    });
}

} // namespace zerloctl
