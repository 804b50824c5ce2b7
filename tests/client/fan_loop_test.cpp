// The fan loop on a notebook that heats and cools over simulated hours:
// it keeps the sensors near their bounds, respects each fan's minimum
// interval, settles under constant load, and fails safe.
#include "loop_fixture.h"

#include "clock/make_clock.h"
#include "loop/auto_config.h"
#include "loop/fan_loop.h"

#include <cmath>
#include <limits>
#include <set>

namespace {

using nlohmann::json;
using zerloctl::LoopEvent;
using ztest::DriverTransport;
using ztest::HeatingProfile;

// Refuses to set one fan for the first `failures` attempts; or, `lying`,
// answers them done and does nothing, as a failing firmware may.
class FlakyFanIo : public zerloctl::FanIo {
  public:
    FlakyFanIo(zerloctl::FanIo& io, uint16_t fan, int failures, bool lying)
        : io_(io), fan_(fan), failures_(failures), lying_(lying)
    {
    }
    std::optional<uint32_t> temperature(uint16_t sensor) override { return io_.temperature(sensor); }
    std::optional<uint16_t> fanState(uint16_t fan) override { return io_.fanState(fan); }
    bool setFanState(uint16_t fan, uint16_t state) override
    {
        if (fan == fan_ && failures_-- > 0) return lying_;
        return io_.setFanState(fan, state);
    }

  private:
    zerloctl::FanIo& io_;
    uint16_t fan_;
    int failures_;
    bool lying_;
};

// The machine after a poll: its sensors' readings and fan registers.
struct Sample {
    double seconds = 0;
    std::array<uint16_t, 3> readings{};
    std::array<uint16_t, 2> fans{};
};

struct LoopRun {
    std::vector<LoopEvent> events;
    std::vector<std::pair<double, bool>> changes[2]; // per fan: simulated seconds, downward
    std::array<double, 3> hottest{};                 // per heated sensor, over the run
    std::array<uint16_t, 2> fanStates{};
    std::vector<Sample> samples; // one per poll
};

struct Flaky {
    int fan = -1;
    int failures = 0;
    bool lying = false;
};

// Polls for `seconds` of simulated time.
LoopRun RunLoop(const json& profile, double seconds, Flaky flaky = {},
                const json& config = json::parse(zerloctl::ExampleAutoConfig()))
{
    ztest::Driver driver(profile);
    driver.startAndOpen();
    DriverTransport transport(driver);
    auto clock = zerloctl::MakeLoopClock(transport, 0);
    zerloctl::DriverFanIo driverIo(transport);
    FlakyFanIo io(driverIo, static_cast<uint16_t>(flaky.fan), flaky.failures, flaky.lying);
    LoopRun run;
    auto* clockPtr = clock.get();
    zerloctl::FanLoop loop(zerloctl::ParseAutoConfig(config), io, *clock, [&](const LoopEvent& event) {
        run.events.push_back(event);
        if (event.kind == LoopEvent::kChange)
            run.changes[event.fan].emplace_back(clockPtr->now(), event.from && event.to < *event.from);
    });
    const std::atomic<int> noStop{0};
    while (clock->now() < seconds) {
        loop.poll();
        Sample sample{clock->now()};
        for (size_t i = 0; i < run.hottest.size(); ++i) {
            run.hottest[i] = std::max(run.hottest[i], driver.machine->thermal()->sensors[i].celsius);
            sample.readings[i] = driver.machine->thermal()->reading(i);
        }
        for (uint16_t fan = 0; fan < 2; ++fan)
            sample.fans[fan] = driver.machine->smm()->fans[fan].state;
        run.samples.push_back(sample);
        clock->sleep(2, noStop);
    }
    for (uint16_t fan = 0; fan < 2; ++fan)
        run.fanStates[fan] = driver.machine->smm()->fans[fan].state;
    return run;
}

size_t Count(const LoopRun& run, LoopEvent::Kind kind)
{
    return std::count_if(run.events.begin(), run.events.end(), [&](const LoopEvent& e) { return e.kind == kind; });
}

TEST(FanLoop, HeatStepStaysNearTheTopBoundAndSettles)
{
    // The example's top bound is 68. The fans answer heat within a poll,
    // whatever the minimum interval, which holds only steps down.
    constexpr double kTopBound = 68;
    const struct {
        double minChangeSeconds, margin;
    } cases[] = {{10, 4}, {120, 4}, {3600, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.minChangeSeconds);
        json config = json::parse(zerloctl::ExampleAutoConfig());
        for (json& fan : config["fans"])
            fan["min_change_seconds"] = c.minChangeSeconds;
        const LoopRun run = RunLoop(HeatingProfile(), 4 * 3600, {}, config);
        for (double hottest : run.hottest)
            EXPECT_LT(hottest, kTopBound + c.margin);
        for (int fan = 0; fan < 2; ++fan) {
            const auto& changes = run.changes[fan];
            EXPECT_FALSE(changes.empty()) << "fan " << fan << " never answered the heat";
            for (size_t i = 1; i < changes.size(); ++i) {
                if (changes[i].second) {
                    EXPECT_GE(changes[i].first - changes[i - 1].first, c.minChangeSeconds) << "fan " << fan;
                }
            }
            // Constant full load from ten minutes on: settled within the
            // first hour, then no change for three hours.
            EXPECT_LT(changes.back().first, 3600) << "fan " << fan << " still changing";
        }
        EXPECT_EQ(run.fanStates, (std::array<uint16_t, 2>{2, 2}));
        EXPECT_EQ(Count(run, LoopEvent::kFailSafe), 0u);
    }
}

TEST(FanLoop, FirmwareFailingMidRunEndsWithEveryFanHigh)
{
    const struct {
        const char* fault;
        const char* reason;
    } cases[] = {{"fail", "sensor 0: read failed"},
                 {"garbage", "sensor 0: reading 255 outside 1-125"},
                 {"zero", "sensor 0: reading 0 outside 1-125"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        // Light load: the fans are off when the sensors go bad.
        json profile = HeatingProfile(json::array({{{"at_s", 1800}, {"sensor_fault", c.fault}}}));
        profile["thermal"]["schedule"][1]["load"] = 0.2;
        const LoopRun run = RunLoop(profile, 3600);
        EXPECT_EQ(run.fanStates, (std::array<uint16_t, 2>{2, 2}));
        ASSERT_EQ(Count(run, LoopEvent::kFailSafe), 1u);
        const auto failSafe = std::find_if(run.events.begin(), run.events.end(),
                                           [](const LoopEvent& e) { return e.kind == LoopEvent::kFailSafe; });
        EXPECT_EQ(failSafe->reason, c.reason);
        EXPECT_EQ(Count(run, LoopEvent::kChange), 2u) << "fail-safe sets each fan once, not on every poll";
    }
}

std::vector<std::string> Lines(const LoopRun& run, std::set<LoopEvent::Kind> kinds)
{
    std::vector<std::string> lines;
    for (const LoopEvent& e : run.events)
        if (kinds.contains(e.kind)) lines.push_back(zerloctl::FormatLoopEvent(e));
    return lines;
}

TEST(FanLoop, FirmwareAnsweringZeroIsAFailedReadingNotAColdNotebook)
{
    // Light load, fans off; for ten minutes every SMM call answers AX = 0:
    // a temperature of 0, fans off, every set done.
    json profile = HeatingProfile(
        json::array({{{"at_s", 1800}, {"handler", "ax-zero"}}, {{"at_s", 2400}, {"handler", "notebook"}}}));
    profile["thermal"]["schedule"][1]["load"] = 0.2;
    const LoopRun run = RunLoop(profile, 3600);
    EXPECT_EQ(Lines(run, {LoopEvent::kFailSafe, LoopEvent::kRecovered, LoopEvent::kFound}),
              (std::vector<std::string>{
                  "sim 00:30:00 fail-safe: sensor 0: reading 0 outside 1-125; every controlled fan to high",
                  "sim 00:40:00 fan 0: found off, not high as set: changed outside the loop",
                  "sim 00:40:00 fan 1: found off, not high as set: changed outside the loop",
                  "sim 00:40:00 readings trusted again; normal control resumes"}));
}

TEST(FanLoop, FanReadBackContradictingItsSetTwiceInARowIsAFailingFirmware)
{
    // Fan 1's sets are answered done and never made.
    const LoopRun run = RunLoop(HeatingProfile(), 1800, {1, 1000, true});
    EXPECT_EQ(Lines(run, {LoopEvent::kFailSafe, LoopEvent::kRecovered, LoopEvent::kFound}),
              (std::vector<std::string>{
                  "sim 00:10:14 fan 1: found off, not low as set: changed outside the loop",
                  "sim 00:10:16 fail-safe: fan 1: read back off after a set to low that reported success, at two "
                  "polls in a row: the firmware fails; every controlled fan to high"}));
    EXPECT_EQ(run.fanStates, (std::array<uint16_t, 2>{2, 0}));
}

TEST(FanLoop, CriticalTemperatureSendsEveryFanHighUntilAMarginBelow)
{
    // Fan 1 follows only the chassis, which never nears its step; sensor 0
    // reaches the critical temperature under full load, which ends at 01:00.
    const json config = json::parse(R"({"poll_seconds": 2, "critical": 60, "fans": [
        {"fan": 0, "sensors": [0], "min_change_seconds": 600, "steps": [
            {"state": "low", "up": 45, "down": 40}, {"state": "high", "up": 60, "down": 50}]},
        {"fan": 1, "sensors": [2], "min_change_seconds": 600, "steps": [{"state": "high", "up": 60, "down": 50}]}]})");
    const LoopRun run = RunLoop(HeatingProfile(json::array({{{"at_s", 3600}, {"load", 0.2}}})), 2 * 3600, {}, config);
    EXPECT_EQ(Lines(run, {LoopEvent::kCritical, LoopEvent::kFailSafe}),
              (std::vector<std::string>{"sim 00:10:30 critical: sensor 0: 60 at or above 60; every controlled fan "
                                        "to high until every sensor is below 55"}));
    // Judged on the machine: high from the poll that read 60 through the
    // last that read 55 or more, and fan 1 off again at the next.
    bool episode = false, ended = false;
    for (const Sample& sample : run.samples) {
        const uint16_t hottest = *std::max_element(sample.readings.begin(), sample.readings.end());
        const bool was = episode;
        episode = hottest >= 60 || (episode && hottest >= 55);
        if (episode) {
            EXPECT_EQ(sample.fans, (std::array<uint16_t, 2>{2, 2})) << sample.seconds;
        }
        if (was && !episode) {
            EXPECT_EQ(sample.fans[1], 0) << sample.seconds;
            ended = true;
        }
    }
    EXPECT_TRUE(ended);
}

TEST(FanLoop, FanThatCannotBeSetIsRetriedEachPollWhileTheOthersGoHigh)
{
    const LoopRun run = RunLoop(HeatingProfile(), 1800, {1, 5});
    EXPECT_EQ(Count(run, LoopEvent::kCannotSet), 5u);
    EXPECT_EQ(Count(run, LoopEvent::kFailSafe), 1u);
    EXPECT_EQ(Count(run, LoopEvent::kRecovered), 1u);
    // Retries come one poll apart, not in a burst.
    std::vector<std::string> retryTimes;
    for (const LoopEvent& e : run.events)
        if (e.kind == LoopEvent::kCannotSet && !e.atStop) retryTimes.push_back(e.time);
    EXPECT_EQ(std::set<std::string>(retryTimes.begin(), retryTimes.end()).size(), 5u);
}

// Notes each request of the loop, in order, beside the lines it logs.
class TracingFanIo : public zerloctl::FanIo {
  public:
    TracingFanIo(zerloctl::FanIo& io, std::string& trace) : io_(io), trace_(trace) {}
    std::optional<uint32_t> temperature(uint16_t sensor) override { return io_.temperature(sensor); }
    std::optional<uint16_t> fanState(uint16_t fan) override
    {
        trace_ += "read fan " + std::to_string(fan) + "\n";
        return io_.fanState(fan);
    }
    bool setFanState(uint16_t fan, uint16_t state) override
    {
        trace_ += "set fan " + std::to_string(fan) + " to " + std::to_string(state) + "\n";
        return io_.setFanState(fan, state);
    }

  private:
    zerloctl::FanIo& io_;
    std::string& trace_;
};

// A log that is slow to take a line must not delay a fan: within a poll, and
// at the stop, every fan is set before the first line leaves the loop.
TEST(FanLoop, EveryFanIsSetBeforeAnyLineIsWritten)
{
    json profile = HeatingProfile();
    profile["smm"]["fans"][1]["state"] = 0;
    for (json& sensor : profile["thermal"]["sensors"])
        sensor["start_celsius"] = 70;
    ztest::Driver driver(profile);
    driver.startAndOpen();
    DriverTransport transport(driver);
    auto clock = zerloctl::MakeLoopClock(transport, 0);
    zerloctl::DriverFanIo driverIo(transport);
    std::string trace;
    TracingFanIo io(driverIo, trace);
    zerloctl::FanLoop loop(zerloctl::ParseAutoConfig(json::parse(zerloctl::ExampleAutoConfig())), io, *clock,
                           [&](const LoopEvent& event) { trace += zerloctl::FormatLoopEvent(event) + "\n"; });
    EXPECT_TRUE(loop.poll());
    EXPECT_TRUE(loop.finish("the test's stop"));
    EXPECT_EQ(trace, "read fan 0\n"
                     "read fan 1\n"
                     "set fan 0 to 2\n"
                     "set fan 1 to 2\n"
                     "sim 00:00:00 fan 0: off -> high (sensor 0: 70, sensor 1: 70)\n"
                     "sim 00:00:00 fan 1: off -> high (sensor 0: 70, sensor 1: 70, sensor 2: 70)\n"
                     "set fan 0 to 2\n"
                     "read fan 0\n"
                     "set fan 1 to 2\n"
                     "read fan 1\n"
                     "sim 00:00:00 stopping: the test's stop; every controlled fan to high\n");
}

// A stop is judged by reading each fan back: a firmware that fails the set,
// or one that reports every call done and sets nothing (AX=0 to all), leaves
// a fan that may not cool, and the stop says so.
TEST(FanLoop, AStopThatCannotLeaveEveryFanHighSaysSo)
{
    const struct {
        const char* handler;
        bool safe;
        std::array<uint16_t, 2> fans;
        const char* lines;
    } cases[] = {
        {"notebook",
         true,
         {2, 2},
         "sim 00:10:00 stopping: SIGTERM; every controlled fan to high\n"
         "sim 00:10:00 fan 0: off -> high [SIGTERM]\n"
         "sim 00:10:00 fan 1: off -> high [SIGTERM]\n"},
        {"none",
         false,
         {0, 0},
         "sim 00:10:00 stopping: SIGTERM; every controlled fan to high\n"
         "sim 00:10:00 fan 0: cannot set high: firmware call failed; the loop is stopping, so not retried\n"
         "sim 00:10:00 fan 1: cannot set high: firmware call failed; the loop is stopping, so not retried\n"},
        {"ax-zero",
         false,
         {0, 0},
         "sim 00:10:00 stopping: SIGTERM; every controlled fan to high\n"
         "sim 00:10:00 fan 0: off -> high [SIGTERM]\n"
         "sim 00:10:00 fan 0: cannot set high: the fan reads back off after the set; the loop is stopping, so not "
         "retried\n"
         "sim 00:10:00 fan 1: off -> high [SIGTERM]\n"
         "sim 00:10:00 fan 1: cannot set high: the fan reads back off after the set; the loop is stopping, so not "
         "retried\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.handler);
        json profile = HeatingProfile();
        profile["thermal"]["schedule"][1]["load"] = 0.2;
        ztest::Driver driver(profile);
        driver.startAndOpen();
        DriverTransport transport(driver);
        auto clock = zerloctl::MakeLoopClock(transport, 0);
        zerloctl::DriverFanIo io(transport);
        std::string lines;
        zerloctl::FanLoop loop(zerloctl::ParseAutoConfig(json::parse(zerloctl::ExampleAutoConfig())), io, *clock,
                               [&](const LoopEvent& event) { lines += zerloctl::FormatLoopEvent(event) + "\n"; });
        const std::atomic<int> noStop{0};
        while (clock->now() < 600) {
            loop.poll();
            clock->sleep(2, noStop);
        }
        ASSERT_EQ(lines, "") << "light load: the fans stay off";
        driver.machine->smm()->behaviour = zhost::ParseSmmBehaviour(c.handler);
        EXPECT_EQ(loop.finish("SIGTERM"), c.safe);
        driver.machine->smm()->behaviour = zhost::SmmBehaviour::kNotebook;
        EXPECT_EQ(lines, c.lines);
        std::array<uint16_t, 2> fans{};
        for (uint16_t fan = 0; fan < 2; ++fan)
            fans[fan] = driver.machine->smm()->fans[fan].state;
        EXPECT_EQ(fans, c.fans);
    }
}

TEST(AutoConfig, EveryMistakeNamesItsField)
{
    const json good = json::parse(zerloctl::ExampleAutoConfig());
    const struct {
        json::json_pointer where;
        json value;
        const char* message;
    } cases[] = {
        {json::json_pointer("/poll_seconds"), 0.4, "poll_seconds: 0.4 is outside 0.5 to 3600"},
        {json::json_pointer("/poll_seconds"), std::nan(""), "poll_seconds: expected a finite number, got nan"},
        {json::json_pointer("/poll_seconds"), 6,
         "fans[0].min_change_seconds: 10 is below twice poll_seconds (12): a fan could change at every poll"},
        {json::json_pointer("/critical"), 59, "critical: 59 is outside 60 to 95"},
        {json::json_pointer("/critical"), 96, "critical: 96 is outside 60 to 95"},
        {json::json_pointer("/critical"), 65, "fans[0].steps[1].up: 68 is above the critical temperature (65)"},
        {json::json_pointer("/fans/0/steps/1/state"), "low",
         "fans[0].steps[1].state: low is not above the state below it (low)"},
        {json::json_pointer("/fans/1/steps"), json::parse(R"([{"state": "low", "up": 50, "down": 44}])"),
         "fans[1].steps[0].state: low is the top step: it must be high"},
        {json::json_pointer("/fans/0/min_change_seconds"), 3.9,
         "fans[0].min_change_seconds: 3.9 is below twice poll_seconds (4): a fan could change at every poll"},
        {json::json_pointer("/fans/0/min_change_seconds"), std::numeric_limits<double>::infinity(),
         "fans[0].min_change_seconds: expected a finite number, got inf"},
        {json::json_pointer("/fans/0/steps/0/down"), 53.5,
         "fans[0].steps[0].down: 53.5 is not 2 or more below up (55)"},
        {json::json_pointer("/fans/0/steps/1/up"), 90.5,
         "fans[0].steps[1].up: 90.5 is above the critical temperature (90)"},
        {json::json_pointer("/on_exit"), "low", "on_exit: expected \"high\" or \"keep\", got \"low\""},
        {json::json_pointer("/fans"), json::array(), "fans: expected a non-empty list"},
        {json::json_pointer("/fans/1/fan"), 0, "fans[1].fan: fan 0 is already controlled"},
        {json::json_pointer("/fans/0/fan"), 2, "fans[0].fan: expected a whole number 0 to 1, got 2"},
        {json::json_pointer("/fans/0/sensors/1"), 0, "fans[0].sensors[1]: sensor 0 named twice"},
        {json::json_pointer("/fans/0/steps/0/up"), 70,
         "fans[0].steps[1].up: 68 is not above the previous step's up (70)"},
        {json::json_pointer("/fans/0/steps/1/down"), 47,
         "fans[0].steps[1].down: 47 is not above the previous step's down (48)"},
        {json::json_pointer("/fans/0/steps/0/up"), 126, "fans[0].steps[0].up: 126 is outside 1 to 125"},
        {json::json_pointer("/fans/0/speed"), 3,
         "fans[0].speed: unknown field (known: fan, idle_state, "
         "min_change_seconds, sensors, steps)"},
    };
    for (const auto& c : cases) {
        json config = good;
        config[c.where] = c.value;
        try {
            zerloctl::ParseAutoConfig(config);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const zerloctl::ConfigError& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

TEST(AutoConfig, FloorsAndDefaultsKeepEveryFanFromChangingAtEveryPoll)
{
    json config = json::parse(zerloctl::ExampleAutoConfig());
    config["poll_seconds"] = 6;
    config["fans"][0].erase("min_change_seconds");
    config["fans"][1]["min_change_seconds"] = 12;
    config["fans"][1]["steps"] = json::parse(R"([{"state": "high", "up": 95, "down": 93}])");
    config["critical"] = 95;
    const zerloctl::AutoConfig parsed = zerloctl::ParseAutoConfig(config);
    EXPECT_EQ(parsed.fans[0].minChangeSeconds, 12);
    EXPECT_EQ(parsed.fans[1].minChangeSeconds, 12);
    EXPECT_EQ(parsed.critical, 95);
    config.erase("critical");
    config.erase("poll_seconds");
    config["fans"][1]["steps"] = json::parse(R"([{"state": "high", "up": 90, "down": 88}])");
    const zerloctl::AutoConfig defaults = zerloctl::ParseAutoConfig(config);
    EXPECT_EQ(defaults.fans[0].minChangeSeconds, 10);
    EXPECT_EQ(defaults.critical, 90);
    EXPECT_EQ(defaults.pollSeconds, 2);
}

} // namespace
