// The fan loop's promises, judged on the simulated notebook's own fan
// registers, never on what the loop logged or believes. Seeded random
// schedules run configurations drawn at random (the example's, and any the
// checker accepts), on a notebook whose sensors heat up to 110 °C, and mix
// heat steps, failing sensors and readings of 255 or 0, a firmware handler
// that stops answering, answers garbage or answers 0 to everything, fans set
// through another handle, a resume whose BIOS resets the fans, a wall clock
// set back and forward over a tick counter that wraps, short replies, a
// failed allocation, stops at random moments, in a wait or inside a poll,
// and an output that takes no line for hundreds of polls (the log goes
// through the queue `auto` uses, kept small so that it fills). After every
// poll:
//  (a) a fan one of whose sensors reads at or above its top step is high,
//      and after a failed or unbelievable reading every controlled fan is;
//  (b) after a stop with on_exit high every controlled fan is high; with
//      keep, the stop moves none;
//  (c) no fan steps down sooner after its last move than its minimum
//      interval (a move made behind the loop's back counts from the poll
//      that can first see it);
//  (d) polls come poll_seconds apart, start to start, unless a resume
//      brings one sooner;
//  (e) what the loop believes of a fan, where it believes anything, is the
//      fan's register: a fan changed behind its back is found within one
//      poll;
//  (f) from the poll that reads a followed sensor at or above the critical
//      temperature until one reads every such sensor a margin below it,
//      every controlled fan is high;
//  (g) whatever the file, no fan steps down sooner than two polls, nor than
//      its minimum interval, after its last move, the loop's start counting
//      as one: no fan changes at every poll.
// (a), (b) and (f) are not asked of a firmware that does not answer:
// nothing can set a fan then. ZERLO_SAFETY_SCHEDULES sets how many
// schedules run.
#include "loop_fixture.h"

#include "clock/loop_clock.h"
#include "console/stop_signals.h"
#include "loop/fan_loop.h"
#include "loop/log_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <new>
#include <random>
#include <thread>

namespace {

using nlohmann::json;

constexpr uint16_t kHigh = 2;

struct Tally {
    uint64_t schedules = 0, polls = 0, checks = 0, external = 0, resumes = 0, sabotaged = 0, stopsInPoll = 0;
    uint64_t configsDrawn = 0, configsAccepted = 0, criticalPolls = 0, blockedOutputs = 0, dropped = 0;
};

class Schedule {
  public:
    explicit Schedule(uint32_t seed) : rng_(seed) {}

    void run(Tally& tally);

  private:
    // The driver's transport, with replies cut short or lost to a failed
    // allocation after the driver has acted on them, and a stop that can
    // arrive in the middle of a poll.
    class Transport : public ztest::DriverTransport {
      public:
        Transport(Schedule& schedule, ztest::Driver& driver) : DriverTransport(driver), s_(schedule) {}
        zerloctl::Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override
        {
            if (code == IOCTL_SMM_GET_TEMPERATURE && input.size() == 4 && input[0] == s_.firstSensor_) s_.openPoll();
            zerloctl::Reply reply = DriverTransport::ioctl(code, input, outputLength);
            if (s_.chance(0.004)) {
                ++s_.tally_->sabotaged;
                if (code != IOCTL_SMM_SET_FAN_STATE) s_.readSabotaged_ = true;
                if (code == IOCTL_SMM_GET_TEMPERATURE) s_.sensorSabotaged_ = true;
                if (s_.chance(0.5)) throw std::bad_alloc();
                reply.information = 2;
                reply.bytes.resize(2);
            }
            if (s_.stop_.load() == 0 && s_.clockMs() >= s_.stopAtMs_ && s_.chance(0.2)) {
                s_.stop_ = SIGTERM;
                s_.stoppedInPoll_ = true;
            }
            return reply;
        }

      private:
        Schedule& s_;
    };

    class Ticks : public zerloctl::TickSource {
      public:
        explicit Ticks(Schedule& schedule) : s_(schedule) {}
        uint32_t ticks() override { return static_cast<uint32_t>(s_.tickOffset_ + s_.clockMs()); }
        void wait(uint32_t ms) override { s_.between(ms); }

      private:
        Schedule& s_;
    };

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    uint64_t clockMs() const { return driver_->machine->clockMs(); }
    uint16_t fanRegister(uint16_t fan) const { return driver_->machine->smm()->fans.at(fan).state; }
    bool firmwareAnswers() const { return driver_->machine->smm()->behaviour == zhost::SmmBehaviour::kNotebook; }
    bool firmwareFakesSets() const
    {
        const zhost::SmmBehaviour behaviour = driver_->machine->smm()->behaviour;
        return behaviour == zhost::SmmBehaviour::kAxZero || behaviour == zhost::SmmBehaviour::kDxOnly;
    }

    json exampleConfig();
    json randomConfig();
    zerloctl::AutoConfig drawConfig();
    json makeProfile();
    void openPoll();
    void closePoll();
    void between(uint32_t ms);
    void moveBehindTheLoop(uint16_t fan, uint16_t state, bool byBios);
    void expect(bool ok, const std::string& what);

    std::mt19937 rng_;
    Tally* tally_ = nullptr;
    std::unique_ptr<ztest::Driver> driver_;
    std::unique_ptr<zerloctl::FanLoop> loop_;
    zerloctl::AutoConfig config_;
    zhost::Handle other_ = 0;
    std::atomic<int> stop_{0};
    bool resumed_ = false, resumeSincePoll_ = false, stoppedInPoll_ = false;
    uint64_t stopAtMs_ = 0, tickOffset_ = 0;
    int64_t wallShift_ = 0;
    uint8_t firstSensor_ = 0;

    // The poll in progress, as the machine was when it began.
    bool pollOpen_ = false, readSabotaged_ = false, sensorSabotaged_ = false, failedReading_ = false;
    uint64_t pollAtMs_ = 0, startMs_ = 0;
    std::optional<uint64_t> lastPollAtMs_;
    uint32_t hottestRead_ = 0; // of every sensor the loop reads
    bool critical_ = false;    // an episode, as the loop's readings show it
    std::vector<uint16_t> sensorsRead_;
    std::vector<uint16_t> before_, atStop_;
    std::vector<bool> topReached_;
    std::vector<std::optional<uint64_t>> lastMoveMs_;
    std::vector<uint16_t> after_; // as the last poll left them
    std::mutex logMutex_;         // the queue's writer adds to the log
    std::vector<std::string> log_;
    // The output takes no line until this many polls have run, as a pipe
    // nobody reads or a console held by a click. A loop that waited for it
    // would run no poll: the writer gives up after a while of real time and
    // says so.
    std::atomic<uint64_t> pollsRun_{0}, outputHeldUntil_{0};
    std::atomic<bool> outputHeldTheLoop_{false};
};

json Schedule::exampleConfig()
{
    json config = json::parse(zerloctl::ExampleAutoConfig());
    const double polls[] = {1, 2, 3.5, 5};
    const double intervals[] = {0, 10, 60, 600, 3600};
    config["poll_seconds"] = polls[pick(4)];
    config["on_exit"] = chance(0.75) ? "high" : "keep";
    for (json& fan : config["fans"])
        fan["min_change_seconds"] = intervals[pick(5)];
    if (chance(0.3)) config["fans"].erase(static_cast<size_t>(pick(2))); // one fan left alone
    return config;
}

// From a space wider than the checker's: polls, intervals and gaps below
// its floors, top steps below high or above the critical temperature, a
// fan that follows only a cool sensor.
json Schedule::randomConfig()
{
    const double polls[] = {0.1, 0.25, 0.5, 0.75, 1, 2, 3.5, 5};
    const double intervals[] = {0, 0.5, 1, 2, 4, 7, 10, 30, 60, 600, 3600};
    const double gaps[] = {0.001, 0.5, 1, 2, 3, 5, 10, 20};
    json config{{"poll_seconds", polls[pick(8)]}, {"on_exit", chance(0.75) ? "high" : "keep"}};
    if (chance(0.6)) config["critical"] = 55 + pick(46);
    const int count = 1 + pick(2);
    const int firstFan = count == 2 ? 0 : pick(2);
    for (int i = 0; i < count; ++i) {
        json fan{{"fan", chance(0.02) ? firstFan : firstFan + i}};
        fan["sensors"] = json::array();
        for (int sensor : {2, 0, 1})
            if (chance(0.5)) fan["sensors"].push_back(sensor);
        if (fan["sensors"].empty()) fan["sensors"].push_back(pick(3));
        const bool idleLow = chance(0.3);
        if (idleLow || chance(0.5)) fan["idle_state"] = idleLow ? "low" : "off";
        if (chance(0.8)) fan["min_change_seconds"] = intervals[pick(11)];
        const int steps = idleLow ? 1 : 1 + pick(2);
        double up = 30 + pick(60), down = 0;
        fan["steps"] = json::array();
        for (int step = 0; step < steps; ++step) {
            const int state = idleLow ? 2 : steps == 2 ? step + 1 : chance(0.9) ? 2 : 1;
            down = std::max(up - gaps[pick(8)], down + 1);
            fan["steps"].push_back({{"state", state}, {"up", up}, {"down", down}});
            up += 1 + pick(30);
        }
        config["fans"].push_back(fan);
    }
    return config;
}

// Drawn until the checker accepts one: the loop never meets another.
zerloctl::AutoConfig Schedule::drawConfig()
{
    const bool example = chance(0.4);
    for (int draws = 0; draws < 100'000; ++draws) {
        ++tally_->configsDrawn;
        try {
            zerloctl::AutoConfig config = zerloctl::ParseAutoConfig(example ? exampleConfig() : randomConfig());
            ++tally_->configsAccepted;
            return config;
        } catch (const zerloctl::ConfigError&) {
        }
    }
    throw std::logic_error("the checker refused 100,000 configurations in a row");
}

json Schedule::makeProfile()
{
    json profile = ztest::HeatingProfile();
    for (json& fan : profile["smm"]["fans"])
        fan["state"] = pick(3);
    // Up to 1.6 times full load: sensor 0 then settles near 106 °C with
    // every fan high, and toward 125 °C with fewer; sensors that answer
    // within a poll or two make a fan that may change too often do so.
    const double timeConstants[] = {5, 20, 60, 90, 300};
    for (json& sensor : profile["thermal"]["sensors"]) {
        sensor["time_constant_s"] = timeConstants[pick(5)];
        if (chance(0.2)) sensor["start_celsius"] = 25 + pick(86);
    }
    json schedule = json::array();
    const char* faults[] = {"fail", "garbage", "zero"};
    const char* handlers[] = {"none", "ax-ffff-bx-changed", "dx-only", "ax-zero"};
    for (uint64_t at = 0; at < stopAtMs_ / 1000 + 60;) {
        at += static_cast<uint64_t>(30 + pick(600));
        const int kind = pick(10);
        if (kind < 6) {
            schedule.push_back({{"at_s", at}, {"load", pick(17) / 10.0}});
        } else if (kind < 8) {
            schedule.push_back({{"at_s", at}, {"sensor_fault", faults[pick(3)]}});
            at += static_cast<uint64_t>(1 + pick(90));
            schedule.push_back({{"at_s", at}, {"sensor_fault", "none"}});
        } else {
            schedule.push_back({{"at_s", at}, {"handler", handlers[pick(4)]}});
            at += static_cast<uint64_t>(1 + pick(90));
            schedule.push_back({{"at_s", at}, {"handler", "notebook"}});
        }
    }
    profile["thermal"]["schedule"] = schedule;
    return profile;
}

void Schedule::expect(bool ok, const std::string& what)
{
    ++tally_->checks;
    if (ok) return;
    std::string log;
    const std::lock_guard hold(logMutex_);
    for (size_t i = log_.size() > 12 ? log_.size() - 12 : 0; i < log_.size(); ++i)
        log += "\n  " + log_[i];
    ADD_FAILURE() << "at sim " << clockMs() << " ms, SMM handler "
                  << zhost::SmmBehaviourName(driver_->machine->smm()->behaviour) << ": " << what
                  << "; the loop's last lines:" << log;
}

void Schedule::openPoll()
{
    if (pollOpen_) closePoll(); // a resume left no wait between two polls
    pollOpen_ = true;
    readSabotaged_ = sensorSabotaged_ = false;
    pollAtMs_ = clockMs();
    if (!lastPollAtMs_) startMs_ = pollAtMs_;
    const zhost::ThermalModel& thermal = *driver_->machine->thermal();
    failedReading_ = !firmwareAnswers();
    hottestRead_ = 0;
    for (uint16_t sensor : sensorsRead_) {
        const uint16_t reading = thermal.reading(sensor);
        failedReading_ = failedReading_ || reading < zerloctl::kLowestBelievableReading ||
                         reading > zerloctl::kHighestBelievableReading;
        hottestRead_ = std::max<uint32_t>(hottestRead_, reading);
    }
    for (size_t i = 0; i < config_.fans.size(); ++i) {
        const zerloctl::FanRule& rule = config_.fans[i];
        before_[i] = fanRegister(rule.fan);
        bool top = false;
        for (uint16_t sensor : rule.sensors)
            top = top || thermal.reading(sensor) >= rule.steps.back().up;
        topReached_[i] = top;
        // Moved behind the loop's back since the last poll: the move counts
        // from now, when the loop can first see it.
        if (before_[i] != after_[i]) lastMoveMs_[i] = pollAtMs_;
    }
    if (lastPollAtMs_) {
        const uint64_t interval = pollAtMs_ - *lastPollAtMs_;
        const auto wanted = static_cast<uint64_t>(config_.pollSeconds * 1000);
        expect(resumeSincePoll_ ? interval <= wanted : interval == wanted,
               "(d) polls " + std::to_string(interval) + " ms apart, not " + std::to_string(wanted));
    }
    lastPollAtMs_ = pollAtMs_;
    resumeSincePoll_ = false;
}

void Schedule::closePoll()
{
    pollOpen_ = false;
    ++tally_->polls;
    ++pollsRun_;
    const bool answers = firmwareAnswers();
    // An episode moves only on a poll that read every sensor, as the loop's.
    if (!failedReading_ && !sensorSabotaged_) {
        critical_ = hottestRead_ >= config_.critical ||
                    (critical_ && hottestRead_ >= config_.critical - zerloctl::kCriticalMargin);
    }
    if (critical_) ++tally_->criticalPolls;
    for (size_t i = 0; i < config_.fans.size(); ++i) {
        const zerloctl::FanRule& rule = config_.fans[i];
        const uint16_t now = fanRegister(rule.fan);
        const std::string fan = "fan " + std::to_string(rule.fan) + " ";
        if (answers && (failedReading_ || readSabotaged_))
            expect(now == kHigh, "(a) " + fan + "is " + std::to_string(now) + " after a failed reading");
        if (answers && topReached_[i])
            expect(now == kHigh, "(a) " + fan + "is " + std::to_string(now) + " at its top step");
        if (answers && critical_) {
            expect(now == kHigh, "(f) " + fan + "is " + std::to_string(now) + " at " + std::to_string(hottestRead_) +
                                     " with a critical temperature of " +
                                     std::to_string(std::lround(config_.critical)));
        }
        if (now < before_[i] && lastMoveMs_[i]) {
            expect(pollAtMs_ - *lastMoveMs_[i] >= rule.minChangeSeconds * 1000,
                   "(c) " + fan + "stepped down " + std::to_string(pollAtMs_ - *lastMoveMs_[i]) +
                       " ms after its last move");
        }
        if (now < before_[i]) {
            const uint64_t since = pollAtMs_ - lastMoveMs_[i].value_or(startMs_);
            const double least = std::max(rule.minChangeSeconds, 2 * config_.pollSeconds) * 1000;
            expect(static_cast<double>(since) >= least,
                   "(g) " + fan + "stepped down " + std::to_string(since) + " ms after its last move or the start");
        }
        if (now != before_[i]) lastMoveMs_[i] = pollAtMs_;
        after_[i] = now;
        const std::optional<uint16_t> believed = loop_->believedState(rule.fan);
        // A firmware that answers every set as done (AX 0, or DX changed
        // as the driver's only sign of an answer) and makes none has the
        // loop believe its sets: nothing true is left to believe then.
        if (believed && !firmwareFakesSets()) {
            expect(*believed == now,
                   "(e) " + fan + "believed " + std::to_string(*believed) + ", is " + std::to_string(now));
        }
    }
}

void Schedule::moveBehindTheLoop(uint16_t fan, uint16_t state, bool byBios)
{
    if (byBios) {
        driver_->machine->smm()->fans.at(fan).state = state;
    } else {
        driver_->kernel->ioctl(other_, IOCTL_SMM_SET_FAN_STATE, ztest::Words(fan, state), 4);
    }
}

// Whatever happens between two polls happens here, a slice of a wait at a
// time.
void Schedule::between(uint32_t ms)
{
    if (pollOpen_) closePoll();
    if (chance(0.002)) {
        ++tally_->external;
        moveBehindTheLoop(static_cast<uint16_t>(pick(2)), static_cast<uint16_t>(pick(3)), false);
    }
    if (chance(0.0005)) {
        ++tally_->resumes;
        for (uint16_t fan = 0; fan < 2; ++fan)
            moveBehindTheLoop(fan, static_cast<uint16_t>(pick(3)), true);
        resumed_ = resumeSincePoll_ = true;
    }
    if (chance(0.001)) wallShift_ += pick(2) ? 86400 : -86400 + pick(3600);
    if (stop_.load() == 0 && clockMs() >= stopAtMs_ && chance(0.3)) {
        stop_ = SIGINT;
        for (size_t i = 0; i < config_.fans.size(); ++i)
            atStop_[i] = fanRegister(config_.fans[i].fan);
    }
    driver_->machine->advanceClock(ms);
}

void Schedule::run(Tally& tally)
{
    tally_ = &tally;
    ++tally.schedules;
    tickOffset_ = 0xFFFFFFFFull - static_cast<uint64_t>(pick(600'000)); // the counter wraps within ten minutes
    config_ = drawConfig();
    // A stop after 30 to 1230 polls, whatever poll_seconds: a schedule
    // costs its polls, not its simulated time.
    stopAtMs_ = static_cast<uint64_t>((30 + pick(1200)) * config_.pollSeconds * 1000);
    firstSensor_ = static_cast<uint8_t>(config_.fans.front().sensors.front());
    for (const zerloctl::FanRule& rule : config_.fans)
        for (uint16_t sensor : rule.sensors)
            if (std::find(sensorsRead_.begin(), sensorsRead_.end(), sensor) == sensorsRead_.end())
                sensorsRead_.push_back(sensor);
    before_.assign(config_.fans.size(), 0);
    atStop_.assign(config_.fans.size(), 0);
    topReached_.assign(config_.fans.size(), false);
    lastMoveMs_.assign(config_.fans.size(), std::nullopt);

    driver_ = std::make_unique<ztest::Driver>(makeProfile());
    driver_->startAndOpen();
    ASSERT_EQ(driver_->openAnother(zhost::kAccessRead | zhost::kAccessWrite, &other_), STATUS_SUCCESS);
    for (const zerloctl::FanRule& rule : config_.fans)
        after_.push_back(fanRegister(rule.fan));
    Transport transport(*this, *driver_);
    zerloctl::DriverFanIo io(transport);
    const int64_t wallStart = 1'700'000'000;
    zerloctl::TickClock clock(
        std::make_unique<Ticks>(*this),
        [&] { return zerloctl::WallStamp(static_cast<std::time_t>(wallStart + wallShift_ + clockMs() / 1000)); },
        [&] { return resumed_; });
    const bool blocked = chance(0.25);
    if (blocked) {
        ++tally.blockedOutputs;
        outputHeldUntil_ = 100 + pick(600);
    }
    zerloctl::LogQueue lines(
        [&](const zerloctl::LoopEvent& event) {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (pollsRun_ < outputHeldUntil_ && stop_ == 0 && !outputHeldTheLoop_) {
                if (std::chrono::steady_clock::now() > giveUp) {
                    outputHeldTheLoop_ = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            const std::lock_guard hold(logMutex_);
            log_.push_back(zerloctl::FormatLoopEvent(event));
            return true;
        },
        8);
    loop_ = std::make_unique<zerloctl::FanLoop>(config_, io, clock,
                                                [&](const zerloctl::LoopEvent& event) { lines.push(event); });
    loop_->run(stop_, zerloctl::StopName, [&] { return std::exchange(resumed_, false); });
    outputHeldUntil_ = 0;
    EXPECT_TRUE(lines.close(30));
    tally.dropped += lines.dropped();
    expect(!outputHeldTheLoop_, "the loop ran no poll while its output took no line");

    if (stoppedInPoll_) ++tally.stopsInPoll;
    if (pollOpen_ && !stoppedInPoll_) closePoll();
    if (!firmwareAnswers()) return;
    for (size_t i = 0; i < config_.fans.size(); ++i) {
        const uint16_t fan = config_.fans[i].fan, now = fanRegister(fan);
        if (config_.onExitHigh) {
            expect(now == kHigh, "(b) fan " + std::to_string(fan) + " is " + std::to_string(now) + " after the stop");
        } else if (!stoppedInPoll_) {
            expect(now == atStop_[i], "(b) the stop moved fan " + std::to_string(fan) + " under keep");
        }
    }
}

TEST(FanLoopSafety, PromisesHoldOnTheMachineThroughRandomSchedules)
{
    // zerlo.sys on the emulated i386 answers far slower: fewer schedules.
    const bool emulated = std::getenv("ZERLO_DRIVER") != nullptr;
    const char* asked = std::getenv("ZERLO_SAFETY_SCHEDULES");
    const uint32_t count = asked ? static_cast<uint32_t>(std::strtoul(asked, nullptr, 10)) : emulated ? 40 : 150;
    Tally tally;
    for (uint32_t seed = 1; seed <= count && !HasFailure(); ++seed) {
        SCOPED_TRACE("schedule " + std::to_string(seed));
        Schedule(seed).run(tally);
    }
    const auto n = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    std::printf("%llu schedules, %llu polls, %llu checks; %llu configurations drawn, %llu accepted; %llu polls "
                "at the critical temperature; %llu fans moved behind the loop, %llu resumes, %llu replies cut short "
                "or lost, %llu stops inside a poll; %llu outputs held for hundreds of polls, %llu lines dropped\n",
                n(tally.schedules), n(tally.polls), n(tally.checks), n(tally.configsDrawn), n(tally.configsAccepted),
                n(tally.criticalPolls), n(tally.external), n(tally.resumes), n(tally.sabotaged), n(tally.stopsInPoll),
                n(tally.blockedOutputs), n(tally.dropped));
    EXPECT_EQ(tally.schedules, count);
}

} // namespace
