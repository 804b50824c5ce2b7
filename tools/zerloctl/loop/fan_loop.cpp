#include "loop/fan_loop.h"

#include "requests/requests.h"
#include "sample/fan_states.h"

#include "frame/zerlo_ioctl.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

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
    case LoopEvent::kFound: return "found";
    case LoopEvent::kCritical: return "critical";
    }
    return "?";
}

} // namespace

std::string FormatLoopEvent(const LoopEvent& event)
{
    std::string line = event.time + " ";
    // Before the event's own text, so that whoever reads the text finds it
    // as it always is.
    if (event.droppedBefore > 0)
        line += "(" + std::to_string(event.droppedBefore) + (event.droppedBefore == 1 ? " line" : " lines") +
                " dropped: the output did not keep up) ";
    const std::string fan = "fan " + std::to_string(event.fan) + ": ";
    switch (event.kind) {
    case LoopEvent::kChange: {
        line += fan + (event.from ? FanStateName(*event.from) : "unknown") + " -> " + FanStateName(event.to);
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
        return line + fan + "cannot set " + FanStateName(event.to) + ": " +
               (event.failure.empty() ? "firmware call failed" : event.failure) +
               (event.atStop ? "; the loop is stopping, so not retried" : "; retrying each poll");
    case LoopEvent::kStopping: return line + "stopping: " + event.reason;
    case LoopEvent::kFound:
        return line + fan + "found " + FanStateName(event.to) + ", not " +
               (event.from ? FanStateName(*event.from) : "unknown") + " as set: changed outside the loop";
    case LoopEvent::kCritical: return line + "critical: " + event.reason;
    }
    return line;
}

std::string FormatLoopEventJson(const LoopEvent& event)
{
    nlohmann::json object{{"time", event.time}, {"event", KindName(event.kind)}};
    if (event.fan >= 0) object["fan"] = event.fan;
    if (event.kind == LoopEvent::kChange || event.kind == LoopEvent::kCannotSet || event.kind == LoopEvent::kFound) {
        object["from"] = event.from ? nlohmann::json(FanStateName(*event.from)) : nlohmann::json();
        object["to"] = FanStateName(event.to);
    }
    if (!event.temperatures.empty()) {
        object["temperatures"] = nlohmann::json::object();
        for (const auto& [sensor, value] : event.temperatures)
            object["temperatures"][std::to_string(sensor)] = value;
    }
    if (!event.reason.empty()) object["reason"] = event.reason;
    if (!event.failure.empty()) object["failure"] = event.failure;
    if (event.dryRun) object["dry_run"] = true;
    if (event.droppedBefore > 0) object["dropped_before"] = event.droppedBefore;
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

// Every event of the loop comes through here. It is stamped now, and held
// until the poll (or the stop) has set every fan: a log that is slow to
// take a line (an output nobody reads) then cannot delay a fan. A log that
// fails (a full disk, no memory) loses its line; the fans still get what
// they need.
void FanLoop::emit(LoopEvent event) noexcept
{
    try {
        event.time = clock_.stamp();
        event.dryRun = dryRun_ && event.kind == LoopEvent::kChange;
        unwritten_.push_back(std::move(event));
    } catch (...) {
    }
}

void FanLoop::release() noexcept
{
    for (const LoopEvent& event : unwritten_) {
        try {
            if (log_) log_(event);
        } catch (...) {
        }
    }
    unwritten_.clear();
}

bool FanLoop::readSensors(std::map<uint16_t, uint32_t>& readings, std::string& failure)
{
    for (uint16_t sensor : sensors_) {
        const std::string name = "sensor " + std::to_string(sensor) + ": ";
        std::optional<uint32_t> reading;
        try {
            reading = io_.temperature(sensor);
        } catch (const std::exception& error) {
            failure = name + error.what();
            return false;
        }
        if (!reading) {
            failure = name + "read failed";
            return false;
        }
        if (*reading < kLowestBelievableReading || *reading > kHighestBelievableReading) {
            failure = name + "reading " + std::to_string(*reading) + " outside " +
                      std::to_string(kLowestBelievableReading) + "-" + std::to_string(kHighestBelievableReading);
            return false;
        }
        readings[sensor] = *reading;
    }
    return true;
}

// Nothing the loop set is taken on trust: another program, `set-fan-state`
// or the BIOS after a resume may have changed a fan since. A fan found
// changed counts as changed now, so a step down from what someone else
// chose waits its minimum interval like any other; a step up does not.
// A fan that reads back other than a set the firmware reported done, at
// two polls in a row, is no longer someone else's doing: the firmware
// says yes and does nothing, and the loop cannot control that fan.
bool FanLoop::readFans(std::string& failure)
{
    const bool first = !started_;
    started_ = true;
    for (Fan& fan : fans_) {
        // A dry run sets nothing, so what it read first stays what it
        // believes; reading again would only show its own sets missing.
        if (dryRun_ && !first) continue;
        const std::string name = "fan " + std::to_string(fan.rule.fan) + ": ";
        std::optional<uint16_t> found;
        try {
            found = io_.fanState(fan.rule.fan);
        } catch (const std::exception& error) {
            failure = name + error.what();
        }
        if (!found) {
            if (failure.empty()) failure = name + "state could not be read";
            fan.state.reset();
            return false;
        }
        if (first) {
            // Start from the step the fan is already on, so a fan the BIOS
            // runs high is not turned down by the first poll's hysteresis,
            // and count the start as its last change, so that a step down
            // from it waits the minimum interval like any other.
            while (fan.level < fan.rule.steps.size() && levelState(fan, fan.level + 1) <= *found)
                ++fan.level;
            fan.lastChange = now();
        } else if (fan.state && *fan.state != *found) {
            fan.contradicted = fan.setPoll + 1 == polls_ ? fan.contradicted + 1 : 0;
            if (fan.contradicted >= 2) {
                failure = name + "read back " + FanStateName(*found) + " after a set to " + FanStateName(*fan.state) +
                          " that reported success, at two polls in a row: the firmware fails";
                fan.state = found;
                return false;
            }
            LoopEvent event;
            event.kind = LoopEvent::kFound;
            event.fan = fan.rule.fan;
            event.from = fan.state;
            event.to = *found;
            emit(event);
            fan.lastChange = now();
        } else {
            fan.contradicted = 0;
        }
        fan.state = found;
    }
    return true;
}

// A clock that fails reads as the last time it gave: it can only hold a
// step down for longer, never let one through sooner.
double FanLoop::now() noexcept
{
    try {
        lastNow_ = clock_.now();
    } catch (...) {
    }
    return lastNow_;
}

bool FanLoop::send(Fan& fan, uint16_t state) noexcept
{
    if (dryRun_) return true;
    try {
        return io_.setFanState(fan.rule.fan, state);
    } catch (...) {
        return false;
    }
}

bool FanLoop::setFan(Fan& fan, uint16_t state, const std::map<uint16_t, uint32_t>& readings, const std::string& reason,
                     bool logUnchanged) noexcept
{
    const std::optional<uint16_t> from = fan.state;
    const bool sent = send(fan, state);
    if (sent) {
        fan.state = state;
        fan.pending = false;
        fan.setPoll = polls_;
        // A forced set may have undone a change made behind the loop's
        // back that it has not read yet: it counts as a change.
        if (from != state || !logUnchanged) fan.lastChange = now();
    } else {
        // A set whose reply was lost may still have moved the fan.
        fan.state.reset();
        fan.pending = true;
        fan.failedPoll = polls_;
        fan.lastChange = now();
    }
    if (sent && from == state && !logUnchanged) return true;
    try {
        LoopEvent event;
        event.kind = sent ? LoopEvent::kChange : LoopEvent::kCannotSet;
        event.fan = fan.rule.fan;
        event.from = from;
        event.to = state;
        for (uint16_t sensor : fan.rule.sensors)
            if (readings.contains(sensor)) event.temperatures[sensor] = readings.at(sensor);
        event.reason = reason;
        event.atStop = stopping_;
        emit(event);
    } catch (...) {
        // The fan is set; only its log line is lost.
    }
    return sent;
}

// Every controlled fan is sent high at every failed poll, whatever the loop
// believes: a fan set off behind its back must not stay off through a
// failure. Only changes are logged. Safety outranks the minimum interval.
void FanLoop::failSafe(const std::string& reason) noexcept
{
    if (!failedSafe_) {
        try {
            LoopEvent event;
            event.kind = LoopEvent::kFailSafe;
            event.reason = reason;
            emit(event);
        } catch (...) {
        }
    }
    failedSafe_ = true;
    for (Fan& fan : fans_) {
        fan.level = fan.rule.steps.size();
        // Once a poll: a fan that just failed is tried again at the next.
        const bool failedJustNow = fan.pending && fan.failedPoll == polls_;
        if (!failedJustNow) setFan(fan, kHigh, {}, "fail-safe", false);
    }
}

bool FanLoop::poll(bool last) noexcept
{
    stopping_ = last;
    ++polls_;
    bool good = false;
    try {
        good = pollOrThrow();
    } catch (const std::exception& error) {
        // Out of memory, or a reply the transport could not take apart:
        // nothing read in this poll can be trusted.
        const char* what = error.what();
        try {
            failSafe(std::string("poll failed: ") + what);
        } catch (...) {
            failSafe({});
        }
    } catch (...) {
        failSafe({});
    }
    release();
    return good;
}

bool FanLoop::pollOrThrow()
{
    std::string failure;
    std::map<uint16_t, uint32_t> readings;
    // Readings that are good decide a critical episode even when a fan
    // read fails after them: the fail-safe sends every fan high then too,
    // and the episode must not miss the heat that began it.
    if (readSensors(readings, failure)) {
        watchCritical(readings);
        readFans(failure);
    }
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

    const double at = now();
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
        // The episode leaves each fan on its top step, from which it
        // comes down by its hysteresis and minimum interval as from heat.
        if (critical_) level = fan.rule.steps.size();
        const uint16_t wanted = critical_ ? kHigh : levelState(fan, level);
        if (fan.state == wanted) {
            fan.level = level;
            continue;
        }
        // Only a step down is held, so that the fan does not flap; heat is
        // answered at once. A held step is decided again at the next poll,
        // from the same level, so one no longer wanted then is not made.
        const bool down = fan.state && wanted < *fan.state;
        if (down && fan.lastChange && at - *fan.lastChange < fan.rule.minChangeSeconds) continue;
        if (setFan(fan, wanted, readings, critical_ ? "critical" : ""))
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

// No file can take this away: at the critical temperature on any sensor
// the loop reads, every controlled fan goes high at once, whichever fan
// follows that sensor and whatever its minimum interval; the episode is
// logged once, and ends only when every such sensor is a margin below.
void FanLoop::watchCritical(const std::map<uint16_t, uint32_t>& readings)
{
    const auto hottest = std::max_element(readings.begin(), readings.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    if (hottest == readings.end()) return;
    if (critical_) {
        critical_ = hottest->second >= config_.critical - kCriticalMargin;
        return;
    }
    if (hottest->second < config_.critical) return;
    critical_ = true;
    std::ostringstream reason;
    reason << "sensor " << hottest->first << ": " << hottest->second << " at or above " << config_.critical
           << "; every controlled fan to high until every sensor is below " << config_.critical - kCriticalMargin;
    LoopEvent event;
    event.kind = LoopEvent::kCritical;
    event.temperatures = readings;
    event.reason = reason.str();
    emit(event);
}

bool FanLoop::run(const std::atomic<int>& stop, const std::function<std::string(int)>& why,
                  const std::function<bool()>& recheck) noexcept
{
    while (stop.load() == 0) {
        const double started = now();
        poll();
        if (stop.load() != 0) break;
        try {
            // Start to start: the time a poll took is not added to the wait.
            const double wait = std::min(config_.pollSeconds - (now() - started), config_.pollSeconds);
            const bool resumed = recheck && recheck();
            if (!resumed && wait > 0) clock_.sleep(wait, stop);
            // A resume during the wait cut it short: the next poll is now.
            if (recheck) recheck();
        } catch (...) {
            // A clock that fails cannot time the wait: poll again, rather
            // than stop watching the heat.
        }
    }
    std::string reason;
    try {
        reason = why(stop.load());
    } catch (...) {
    }
    return finish(reason);
}

bool FanLoop::finish(const std::string& why) noexcept
{
    stopping_ = true;
    try {
        LoopEvent event;
        event.kind = LoopEvent::kStopping;
        event.reason = why + (config_.onExitHigh ? "; every controlled fan to high" : "; fans kept as they are");
        emit(event);
    } catch (...) {
    }
    bool high = true;
    if (config_.onExitHigh) {
        for (Fan& fan : fans_)
            high = setFan(fan, kHigh, {}, why, false) && readBackHigh(fan) && high;
    }
    release();
    return high;
}

// No poll follows a stop to find a fan the firmware did not set: the stop
// reads each back itself. A firmware whose every call returns 0 reports
// each set done, and each fan off.
bool FanLoop::readBackHigh(Fan& fan) noexcept
{
    if (dryRun_) return true;
    std::optional<uint16_t> found;
    try {
        found = io_.fanState(fan.rule.fan);
    } catch (...) {
    }
    fan.state = found;
    if (found == kHigh) return true;
    try {
        LoopEvent event;
        event.kind = LoopEvent::kCannotSet;
        event.fan = fan.rule.fan;
        event.to = kHigh;
        event.failure = found ? std::string("the fan reads back ") + FanStateName(*found) + " after the set"
                              : "its state could not be read back after the set";
        event.atStop = true;
        emit(event);
    } catch (...) {
    }
    return false;
}

} // namespace zerloctl
