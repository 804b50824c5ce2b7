#include "fan_loop.h"

#include "requests.h"

#include "frame/zerlo_ioctl.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace zerloctl {

std::optional<uint32_t> DriverFanIo::temperature(uint16_t sensor)
{
    const ValueResult r = RequestValue(transport_, IOCTL_SMM_GET_TEMPERATURE, sensor);
    if (r.refused || r.value == ZERLO_FAILURE) return std::nullopt;
    return r.value;
}

std::optional<uint16_t> DriverFanIo::fanState(uint16_t fan)
{
    const ValueResult r = RequestValue(transport_, IOCTL_SMM_GET_FAN_STATE, fan);
    // A state outside off/low/high is one the loop cannot reason about.
    if (r.refused || r.value > ZERLO_MAX_FAN_STATE) return std::nullopt;
    return static_cast<uint16_t>(r.value);
}

bool DriverFanIo::setFanState(uint16_t fan, uint16_t state)
{
    const ValueResult r = RequestValue(transport_, IOCTL_SMM_SET_FAN_STATE, fan, state);
    return !r.refused && r.value == 0;
}

namespace {

constexpr uint16_t kHigh = ZERLO_MAX_FAN_STATE;

const char* KindName(LoopEvent::Kind kind)
{
    switch (kind) {
    case LoopEvent::kChange: return "change";
    case LoopEvent::kFailSafe: return "fail-safe";
    case LoopEvent::kRecovered: return "recovered";
    case LoopEvent::kCannotSet: return "cannot-set";
    case LoopEvent::kStopping: return "stopping";
    }
    return "?";
}

} // namespace

std::string FormatLoopEvent(const LoopEvent& event)
{
    std::string line = event.time + " ";
    const std::string fan = "fan " + std::to_string(event.fan) + ": ";
    switch (event.kind) {
    case LoopEvent::kChange: {
        line += fan + (event.from ? FanStateText(*event.from) : "unknown") + " -> " + FanStateText(event.to);
        std::string readings;
        for (const auto& [sensor, value] : event.temperatures)
            readings +=
                (readings.empty() ? "" : ", ") + ("sensor " + std::to_string(sensor) + ": ") + std::to_string(value);
        if (!readings.empty()) line += " (" + readings + ")";
        if (!event.reason.empty()) line += " [" + event.reason + "]";
        if (event.dryRun) line += " (dry run: not sent)";
        return line;
    }
    case LoopEvent::kFailSafe: return line + "fail-safe: " + event.reason + "; every controlled fan to high";
    case LoopEvent::kRecovered: return line + "readings trusted again; normal control resumes";
    case LoopEvent::kCannotSet:
        return line + fan + "cannot set " + FanStateText(event.to) + ": firmware call failed" +
               (event.atStop ? "; the loop is stopping, so not retried" : "; retrying each poll");
    case LoopEvent::kStopping: return line + "stopping: " + event.reason;
    }
    return line;
}

std::string FormatLoopEventJson(const LoopEvent& event)
{
    nlohmann::json object{{"time", event.time}, {"event", KindName(event.kind)}};
    if (event.fan >= 0) object["fan"] = event.fan;
    if (event.kind == LoopEvent::kChange || event.kind == LoopEvent::kCannotSet) {
        object["from"] = event.from ? nlohmann::json(FanStateText(*event.from)) : nlohmann::json();
        object["to"] = FanStateText(event.to);
    }
    if (!event.temperatures.empty()) {
        object["temperatures"] = nlohmann::json::object();
        for (const auto& [sensor, value] : event.temperatures)
            object["temperatures"][std::to_string(sensor)] = value;
    }
    if (!event.reason.empty()) object["reason"] = event.reason;
    if (event.dryRun) object["dry_run"] = true;
    return object.dump();
}

FanLoop::FanLoop(AutoConfig config, FanIo& io, LoopClock& clock, std::function<void(const LoopEvent&)> log, bool dryRun)
    : config_(std::move(config)), io_(io), clock_(clock), log_(std::move(log)), dryRun_(dryRun)
{
    for (const FanRule& rule : config_.fans) {
        Fan fan;
        fan.rule = rule;
        fans_.push_back(fan);
        for (uint16_t sensor : rule.sensors)
            if (std::find(sensors_.begin(), sensors_.end(), sensor) == sensors_.end()) sensors_.push_back(sensor);
    }
}

std::optional<uint16_t> FanLoop::believedState(uint16_t fan) const
{
    for (const Fan& f : fans_)
        if (f.rule.fan == fan) return f.state;
    return std::nullopt;
}

uint16_t FanLoop::levelState(const Fan& fan, size_t level) const
{
    return level == 0 ? fan.rule.idleState : fan.rule.steps[level - 1].state;
}

void FanLoop::emit(LoopEvent event)
{
    event.time = clock_.stamp();
    event.dryRun = dryRun_ && event.kind == LoopEvent::kChange;
    if (log_) log_(event);
}

// The fans' states are read once: from then on the loop knows what it set.
// A fan that cannot be read is set high by the fail-safe, which makes its
// state known again.
bool FanLoop::start()
{
    started_ = true;
    bool allRead = true;
    for (Fan& fan : fans_) {
        fan.state = io_.fanState(fan.rule.fan);
        if (!fan.state) {
            allRead = false;
            continue;
        }
        while (fan.level < fan.rule.steps.size() && levelState(fan, fan.level + 1) <= *fan.state)
            ++fan.level;
    }
    return allRead;
}

bool FanLoop::readSensors(std::map<uint16_t, uint32_t>& readings, std::string& failure)
{
    for (uint16_t sensor : sensors_) {
        const std::optional<uint32_t> reading = io_.temperature(sensor);
        if (!reading) {
            failure = "sensor " + std::to_string(sensor) + ": read failed";
            return false;
        }
        if (*reading > kHighestBelievableReading) {
            failure = "sensor " + std::to_string(sensor) + ": reading " + std::to_string(*reading) + " outside 0-" +
                      std::to_string(kHighestBelievableReading);
            return false;
        }
        readings[sensor] = *reading;
    }
    return true;
}

bool FanLoop::setFan(Fan& fan, uint16_t state, const std::map<uint16_t, uint32_t>& readings, const std::string& reason)
{
    LoopEvent event;
    event.fan = fan.rule.fan;
    event.from = fan.state;
    event.to = state;
    for (uint16_t sensor : fan.rule.sensors)
        if (readings.contains(sensor)) event.temperatures[sensor] = readings.at(sensor);
    event.reason = reason;
    if (!dryRun_ && !io_.setFanState(fan.rule.fan, state)) {
        fan.state.reset();
        fan.pending = true;
        fan.failedPoll = polls_;
        event.kind = LoopEvent::kCannotSet;
        event.atStop = stopping_;
        emit(event);
        return false;
    }
    fan.state = state;
    fan.pending = false;
    fan.lastChange = clock_.now();
    emit(event);
    return true;
}

void FanLoop::failSafe(const std::string& reason)
{
    if (!failedSafe_) {
        LoopEvent event;
        event.kind = LoopEvent::kFailSafe;
        event.reason = reason;
        emit(event);
    }
    failedSafe_ = true;
    // Safety outranks the minimum interval: these changes are not held.
    for (Fan& fan : fans_) {
        fan.level = fan.rule.steps.size();
        // Once a poll: a fan that just failed is tried again at the next.
        const bool failedJustNow = fan.pending && fan.failedPoll == polls_;
        if (fan.state != kHigh && !failedJustNow) setFan(fan, kHigh, {}, "fail-safe");
    }
}

bool FanLoop::poll(bool last)
{
    stopping_ = last;
    ++polls_;
    std::string failure;
    if (!started_ && !start()) failure = "a fan's state could not be read";
    std::map<uint16_t, uint32_t> readings;
    if (failure.empty()) readSensors(readings, failure);
    for (const Fan& fan : fans_)
        if (failure.empty() && fan.pending) failure = "fan " + std::to_string(fan.rule.fan) + " could not be set";
    if (!failure.empty()) {
        failSafe(failure);
        return false;
    }
    if (failedSafe_) {
        failedSafe_ = false;
        LoopEvent event;
        event.kind = LoopEvent::kRecovered;
        emit(event);
    }

    const double now = clock_.now();
    bool allSet = true;
    for (Fan& fan : fans_) {
        uint32_t hottest = 0;
        for (uint16_t sensor : fan.rule.sensors)
            hottest = std::max(hottest, readings.at(sensor));
        size_t level = fan.level;
        while (level < fan.rule.steps.size() && hottest >= fan.rule.steps[level].up)
            ++level;
        while (level > 0 && hottest < fan.rule.steps[level - 1].down)
            --level;
        const uint16_t wanted = levelState(fan, level);
        if (fan.state == wanted) {
            fan.level = level;
            continue;
        }
        // Held: the decision is made again at the next poll, from the same
        // level, so a change that is no longer wanted then is not made.
        if (fan.lastChange && now - *fan.lastChange < fan.rule.minChangeSeconds) continue;
        if (setFan(fan, wanted, readings, ""))
            fan.level = level;
        else
            allSet = false;
    }
    if (!allSet) {
        failSafe("a fan could not be set");
        return false;
    }
    return true;
}

void FanLoop::run(const std::atomic<int>& stop, const std::function<std::string(int)>& why)
{
    while (stop.load() == 0) {
        poll();
        if (stop.load() != 0) break;
        clock_.sleep(config_.pollSeconds, stop);
    }
    finish(why(stop.load()));
}

void FanLoop::finish(const std::string& why)
{
    LoopEvent event;
    event.kind = LoopEvent::kStopping;
    event.reason = why + (config_.onExitHigh ? "; every controlled fan to high" : "; fans kept as they are");
    emit(event);
    stopping_ = true;
    if (!config_.onExitHigh) return;
    for (Fan& fan : fans_)
        if (fan.state != kHigh) setFan(fan, kHigh, {}, why);
}

} // namespace zerloctl
