// The presets on notebooks that heat: what each one made for the fans and
// sensors the check finds looks like, that the checker takes it, and the
// figures of docs/client.md's table, each held to a bound. Every figure is
// read from the simulated machine (its sensors, its fan registers, its SMI
// count), not from what the loop logged.
#include "loop_fixture.h"

#include "clock/loop_clock.h"
#include "clock/make_clock.h"
#include "commands/check_command.h"
#include "loop/auto_config.h"
#include "loop/fan_loop.h"
#include "loop/presets.h"

#include "frame/zerlo_ioctl.h"

#include <atomic>
#include <cstdio>
#include <iostream>

namespace {

using nlohmann::json;
using ztest::DriverTransport;

// Every preset passes the loop's checker, follows the sensors it was made
// for, and starts the second fan later; no preset is made for nothing. The
// whole text of one is compared where `auto --print-example-config` prints it.
TEST(Presets, EveryOneIsAValidConfigurationTheSecondFanLater)
{
    EXPECT_THROW(zerloctl::PresetConfig("silent", {0}, {0}), std::invalid_argument);
    EXPECT_THROW(zerloctl::PresetConfig("quiet", {}, {0}), std::invalid_argument);
    EXPECT_THROW(zerloctl::PresetConfig("quiet", {0}, {}), std::invalid_argument);
    for (const zerloctl::Preset& preset : zerloctl::kPresets) {
        SCOPED_TRACE(preset.name);
        const zerloctl::AutoConfig config =
            zerloctl::ParseAutoConfig(json::parse(zerloctl::PresetConfig(preset.name, {0, 1}, {0, 2})));
        // The checker holds the rest: a top step of high below the critical
        // temperature, the poll floor and the gaps that keep a fan from flapping.
        EXPECT_EQ(config.critical, 90);
        ASSERT_EQ(config.fans.size(), 2u);
        for (const zerloctl::FanRule& fan : config.fans)
            EXPECT_EQ(fan.sensors, (std::vector<uint16_t>{0, 2}));
        EXPECT_EQ(config.fans[1].steps[0].up - config.fans[0].steps[0].up, zerloctl::kLaterFanCelsius);
    }
}

struct Figures {
    double peak = 0;                      // the hottest heated sensor, C
    std::array<double, 3> minutesAbove{}; // the first fan's low and high `up`, and critical
    double fanChangesPerHour = 0;         // both fans' registers
    double smisPerMinute = 0;
};

// `seconds` of the preset on the profile, polled as `auto` polls, after the
// check that the preset is made from.
Figures Measure(const json& profile, const std::string& preset, double seconds)
{
    ztest::Driver driver(profile);
    driver.startAndOpen();
    DriverTransport transport(driver);
    const zerloctl::FanLoopParts parts = zerloctl::FindFanLoopParts(transport);
    EXPECT_EQ(parts.unusable, "");
    const zerloctl::AutoConfig config =
        zerloctl::ParseAutoConfig(json::parse(zerloctl::PresetConfig(preset, parts.fans, parts.sensors)));
    const std::array<double, 3> thresholds{config.fans[0].steps[0].up, config.fans[0].steps[1].up, config.critical};
    auto clock = zerloctl::MakeLoopClock(transport, 0);
    zerloctl::DriverFanIo io(transport);
    zerloctl::FanLoop loop(config, io, *clock, [](const zerloctl::LoopEvent&) {});
    const std::atomic<int> stop{0};
    const uint64_t smisBefore = driver.machine->smm()->calls();
    std::array<uint16_t, 2> states{driver.machine->smm()->fans[0].state, driver.machine->smm()->fans[1].state};
    Figures figures;
    unsigned changes = 0;
    while (clock->now() < seconds) {
        loop.poll();
        for (uint16_t fan = 0; fan < 2; ++fan) {
            const uint16_t now = driver.machine->smm()->fans[fan].state;
            changes += now != states[fan];
            states[fan] = now;
        }
        double hottest = 0;
        for (const zhost::ThermalSensor& sensor : driver.machine->thermal()->sensors)
            hottest = std::max(hottest, sensor.celsius);
        figures.peak = std::max(figures.peak, hottest);
        for (size_t i = 0; i < thresholds.size(); ++i)
            figures.minutesAbove[i] += hottest >= thresholds[i] ? config.pollSeconds / 60 : 0;
        clock->sleep(config.pollSeconds, stop);
    }
    figures.fanChangesPerHour = changes * 3600 / seconds;
    figures.smisPerMinute = static_cast<double>(driver.machine->smm()->calls() - smisBefore) * 60 / seconds;
    return figures;
}

// One row of the table in docs/client.md, measured, and the bounds it is
// held to.
struct Row {
    const char* profile;
    const char* preset;
    Figures bound;
};

TEST(Presets, MeasuredFiguresStayWithinTheirBounds)
{
    // An hour each: the load steps to full after ten (heat step) and five
    // (summer) minutes and the fans settle well within it.
    const Row rows[] = {
        {"thermal_heat_step", "quiet", {76, {52, 1, 0}, 5, 182}},
        {"thermal_heat_step", "balanced", {72.5, {52, 51, 0}, 5, 182}},
        {"thermal_heat_step", "cool", {65, {52, 52, 0}, 6, 182}},
        {"thermal_summer_heat", "quiet", {80, {57, 57, 0}, 6, 182}},
        {"thermal_summer_heat", "balanced", {78.5, {57, 57, 0}, 6, 182}},
        {"thermal_summer_heat", "cool", {78.5, {58, 57, 0}, 8, 182}},
    };
    std::printf("%-20s %-9s %6s %8s %8s %8s %10s %8s\n", "profile", "preset", "peak", ">low", ">high", ">90C",
                "changes/h", "SMIs/min");
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.profile) + " " + row.preset);
        const json profile = zhost::LoadProfileFile(std::string(ZERLO_TEST_PROFILES) + "/" + row.profile + ".json");
        const Figures f = Measure(profile, row.preset, 3600);
        std::printf("%-20s %-9s %6.1f %8.1f %8.1f %8.1f %10.0f %8.1f\n", row.profile, row.preset, f.peak,
                    f.minutesAbove[0], f.minutesAbove[1], f.minutesAbove[2], f.fanChangesPerHour, f.smisPerMinute);
        EXPECT_LE(f.peak, row.bound.peak);
        for (size_t i = 0; i < f.minutesAbove.size(); ++i)
            EXPECT_LE(f.minutesAbove[i], row.bound.minutesAbove[i]) << "threshold " << i;
        EXPECT_LE(f.fanChangesPerHour, row.bound.fanChangesPerHour);
        EXPECT_LE(f.smisPerMinute, row.bound.smisPerMinute);
        // The loop did answer the heat.
        EXPECT_GE(f.fanChangesPerHour, 2);
    }
}

} // namespace
