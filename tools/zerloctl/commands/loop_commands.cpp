#include "commands/loop_commands.h"

#include "clock/make_clock.h"
#include "commands/check_command.h"
#include "commands/watch_command.h"
#include "console/stdout_lines.h"
#include "console/stop_signals.h"
#include "input/user_number.h"
#include "loop/auto_config.h"
#include "loop/fan_loop.h"
#include "loop/log_queue.h"
#include "loop/presets.h"

#include <iostream>
#include <memory>
#include <optional>

namespace zerloctl {

namespace {

// A simulated notebook runs a million seconds (eleven days) in one real
// second at most; beyond that every wait would round to nothing anyway.
constexpr double kMaxTimeScale = 1e6;

struct AutoOptions {
    bool dryRun = false;
    bool once = false;
    double timeScale = 1;
};

// How long a stopped loop waits for its last lines to be written: an
// output nobody reads must not keep the process (or a closing console)
// waiting, once the fans are safe.
constexpr double kLastLinesSeconds = 2;

int RunAuto(Transport& transport, bool asJson, const AutoConfig& config, const AutoOptions& options)
{
    InstallStopHandlers();
    IgnoreBrokenPipe();
    const std::unique_ptr<LoopClock> clock = MakeLoopClock(transport, options.timeScale);
    DriverFanIo io(transport);
    LogQueue lines([asJson](const LoopEvent& event) {
        return WriteStdoutLine(asJson ? FormatLoopEventJson(event) : FormatLoopEvent(event));
    });
    FanLoop loop(
        config, io, *clock, [&lines](const LoopEvent& event) { lines.push(event); }, options.dryRun);
    // One poll leaves the fans as it set them: that is what a script that
    // polls from a timer wants; on_exit is for a loop that is stopped.
    if (options.once) {
        const bool good = loop.poll(true);
        lines.close(kLastLinesSeconds);
        return good ? kOk : kRefusedOrFailed;
    }
    const bool safe = loop.run(StopRequest(), StopName, TakeRecheckRequest);
    lines.close(kLastLinesSeconds);
    MarkStopped();
    if (safe) return kOk;
    std::cerr << "zerloctl: the stop could not set every controlled fan high" << std::endl;
    return kRefusedOrFailed;
}

int RunPreset(Context& c, const std::string& preset, const AutoOptions& options)
{
    const std::optional<std::string> config = PresetForNotebook(*c.transport, preset);
    if (!config) return kRefusedOrFailed;
    return RunAuto(*c.transport, c.asJson, ParseAutoConfig(nlohmann::json::parse(*config)), options);
}

int PrintPreset(Context& c, const std::string& preset)
{
    const std::optional<std::string> config = PresetForNotebook(*c.transport, preset);
    if (!config) return kRefusedOrFailed;
    std::cout << *config;
    return kOk;
}

void AddTimeScale([[maybe_unused]] CLI::App* command)
{
#if !defined(_WIN32)
    command
        ->add_option("--time-scale", "simulated seconds per real second on the simulated notebook (0: no real waiting)")
        ->type_name("FLOAT")
        ->check(FiniteNumber(0, kMaxTimeScale));
#endif
}

double TimeScale(CLI::App& used)
{
    const CLI::Option* option = used.get_option_no_throw("--time-scale");
    return option && option->count() ? option->as<double>() : 1;
}

template <typename T> T OptionOr(CLI::App& used, const char* name, T otherwise)
{
    const CLI::Option* option = used.get_option(name);
    return option->count() ? option->as<T>() : otherwise;
}

void AddWatch(Cli& cli)
{
    CLI::App* watch = cli.command("watch", "live view of fans and sensors until Ctrl-C", [](CLI::App& used) {
        WatchOptions options;
        options.intervalSeconds = OptionOr(used, "--interval", options.intervalSeconds);
        options.count = OptionOr(used, "--count", options.count);
        options.plan.sensors = OptionOr(used, "--sensors", options.plan.sensors);
        options.plan.sio = used.get_option("--sio")->count() > 0;
        options.timeScale = TimeScale(used);
        return Step{[options](Context& c) { return RunWatch(*c.transport, c.asJson, options); }};
    });
    watch->add_option("--interval")
        ->description("seconds between samples, at least " + ShowNumber(kWatchFloorSeconds) + " (default 1)")
        ->type_name("FLOAT")
        ->check(FiniteNumber(kWatchFloorSeconds, 86400));
    watch->add_option("--count", "stop after N samples")->type_name("UINT");
    watch->add_option("--sensors", "how many sensors to read, from 0")->type_name("UINT")->check(CLI::Range(0, 256));
    watch->add_flag("--sio")->description("also show both fans' Super-I/O levels");
    AddTimeScale(watch);
}

void AddAuto(Cli& cli)
{
    const char* help = "keep the notebook cool: set fan states from temperatures";
    CLI::App* automatic = cli.command("auto", help, [](CLI::App& used) {
        const CLI::Option* preset = used.get_option("--preset");
        const std::string presetName = preset->count() ? preset->as<std::string>() : "";
        if (used.get_option("--print-example-config")->count()) {
            // A preset is made for this notebook's fans and sensors.
            if (preset->count()) return Step{[presetName](Context& c) { return PrintPreset(c, presetName); }};
            return Step{[](Context&) {
                            std::cout << ExampleAutoConfig();
                            return int{kOk};
                        },
                        false};
        }
        const CLI::Option* configPath = used.get_option("--config");
        AutoOptions options;
        options.dryRun = used.get_option("--dry-run")->count() > 0;
        options.once = used.get_option("--once")->count() > 0;
        options.timeScale = TimeScale(used);
        if (preset->count())
            return Step{[presetName, options](Context& c) { return RunPreset(c, presetName, options); }};
        if (!configPath->count()) throw CLI::RequiredError("auto --config or --preset");
        // The whole file is checked before the driver is even opened.
        AutoConfig config;
        try {
            config = LoadAutoConfig(configPath->as<std::string>());
        } catch (const ConfigError& error) {
            throw CLI::ValidationError("auto --config", error.what());
        }
        return Step{[config, options](Context& c) { return RunAuto(*c.transport, c.asJson, config, options); }};
    });
    CLI::Option* config = automatic->add_option("--config", "the loop's configuration (JSON)")->type_name("TEXT");
    automatic->add_option("--preset")
        ->description("a ready configuration for this notebook: " + PresetNamesInWords())
        ->type_name("NAME")
        ->check(CLI::IsMember(PresetNames()))
        ->excludes(config);
    automatic->add_flag("--dry-run")->description("log what would be set, set nothing");
    automatic->add_flag("--once")->description("one poll, then exit (fans stay as set)");
    automatic->add_flag("--print-example-config")->description("print a valid example configuration");
    AddTimeScale(automatic);
}

} // namespace

void AddLoopCommands(Cli& cli)
{
    AddWatch(cli);
    AddAuto(cli);
}

} // namespace zerloctl
