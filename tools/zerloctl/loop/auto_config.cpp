#include "loop/auto_config.h"

#include "sample/fan_states.h"

#include "frame/zerlo_ioctl.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <sstream>

namespace zerloctl {

namespace {

using nlohmann::json;

std::string Show(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

// Keys beginning with "//" are comments: JSON has no other kind.
void RequireKnownKeys(const json& object, const std::string& where, const std::set<std::string>& known)
{
    if (!object.is_object()) throw ConfigError(where.empty() ? "(top level)" : where, "expected an object");
    for (const auto& [key, value] : object.items()) {
        if (key.rfind("//", 0) == 0) continue;
        if (!known.contains(key)) {
            throw ConfigError(
                where.empty() ? key : where + "." + key, "unknown field (known: " + [&] {
                    std::string list;
                    for (const std::string& name : known)
                        list += (list.empty() ? "" : ", ") + name;
                    return list;
                }() + ")");
        }
    }
}

// No fallback: the field is required.
double Number(const json& object, const std::string& where, const char* key, std::optional<double> fallback, double low,
              double high)
{
    const std::string field = where.empty() ? key : where + "." + key;
    if (!object.contains(key)) {
        if (!fallback) throw ConfigError(field, "missing");
        return *fallback;
    }
    const json& value = object.at(key);
    if (!value.is_number()) throw ConfigError(field, "expected a number, got " + value.dump());
    const double number = value.get<double>();
    // A document built in memory, or parsed by a reader that lets 1e400
    // through as infinity, can hold what no comparison below would refuse.
    if (!std::isfinite(number)) throw ConfigError(field, "expected a finite number, got " + Show(number));
    if (number < low || number > high) {
        throw ConfigError(field, Show(number) + " is outside " + Show(low) + " to " + Show(high));
    }
    return number;
}

uint16_t Whole(const json& value, const std::string& field, unsigned high)
{
    if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > high) {
        throw ConfigError(field, "expected a whole number 0 to " + std::to_string(high) + ", got " + value.dump());
    }
    return static_cast<uint16_t>(value.get<int64_t>());
}

uint16_t State(const json& value, const std::string& field)
{
    if (value.is_string()) {
        if (const std::optional<uint16_t> state = FanStateNamed(value.get<std::string>())) return *state;
    } else if (value.is_number_integer()) {
        return Whole(value, field, ZERLO_MAX_FAN_STATE);
    }
    throw ConfigError(field, "expected \"off\", \"low\" or \"high\" (or 0 to 2), got " + value.dump());
}

const json& Array(const json& object, const std::string& where, const char* key)
{
    const std::string field = where.empty() ? key : where + "." + key;
    if (!object.contains(key)) throw ConfigError(field, "missing");
    const json& value = object.at(key);
    if (!value.is_array() || value.empty()) throw ConfigError(field, "expected a non-empty list");
    return value;
}

FanRule ParseFan(const json& entry, const std::string& where, const AutoConfig& config)
{
    RequireKnownKeys(entry, where, {"fan", "sensors", "idle_state", "steps", "min_change_seconds"});
    FanRule rule;
    if (!entry.contains("fan")) throw ConfigError(where + ".fan", "missing");
    rule.fan = Whole(entry.at("fan"), where + ".fan", ZERLO_MAX_FAN);
    const json& sensors = Array(entry, where, "sensors");
    for (size_t i = 0; i < sensors.size(); ++i) {
        const std::string field = where + ".sensors[" + std::to_string(i) + "]";
        const uint16_t sensor = Whole(sensors[i], field, 255);
        for (uint16_t seen : rule.sensors)
            if (seen == sensor) throw ConfigError(field, "sensor " + std::to_string(sensor) + " named twice");
        rule.sensors.push_back(sensor);
    }
    if (entry.contains("idle_state")) {
        rule.idleState = State(entry.at("idle_state"), where + ".idle_state");
        if (rule.idleState == ZERLO_MAX_FAN_STATE) {
            throw ConfigError(where + ".idle_state",
                              FanStateName(rule.idleState) + " leaves no state for a step above it: use off or low");
        }
    }
    // A step down is held at least two polls, so no fan can change at
    // every poll; the default keeps to that at any poll_seconds.
    const double leastChange = kLeastChangePolls * config.pollSeconds;
    rule.minChangeSeconds =
        Number(entry, where, "min_change_seconds", std::max(rule.minChangeSeconds, leastChange), 0, 86400);
    if (rule.minChangeSeconds < leastChange) {
        throw ConfigError(where + ".min_change_seconds", Show(rule.minChangeSeconds) +
                                                             " is below twice poll_seconds (" + Show(leastChange) +
                                                             "): a fan could change at every poll");
    }
    const json& steps = Array(entry, where, "steps");
    for (size_t i = 0; i < steps.size(); ++i) {
        const std::string at = where + ".steps[" + std::to_string(i) + "]";
        RequireKnownKeys(steps[i], at, {"state", "up", "down"});
        FanStep step;
        if (!steps[i].contains("state")) throw ConfigError(at + ".state", "missing");
        step.state = State(steps[i].at("state"), at + ".state");
        step.up = Number(steps[i], at, "up", std::nullopt, 1, kHighestBelievableReading);
        step.down = Number(steps[i], at, "down", std::nullopt, 0, kHighestBelievableReading);
        const uint16_t below = rule.steps.empty() ? rule.idleState : rule.steps.back().state;
        if (step.state <= below) {
            throw ConfigError(at + ".state", FanStateName(step.state) + " is not above the state below it (" +
                                                 FanStateName(below) + ")");
        }
        // Readings are whole degrees: without two of them between the
        // bounds the fan would flap on every degree of noise around one.
        if (step.up - step.down < kLeastStepGap) {
            throw ConfigError(at + ".down", Show(step.down) + " is not " + Show(kLeastStepGap) + " or more below up (" +
                                                Show(step.up) + ")");
        }
        if (!rule.steps.empty() && step.up <= rule.steps.back().up) {
            throw ConfigError(at + ".up", Show(step.up) + " is not above the previous step's up (" +
                                              Show(rule.steps.back().up) + ")");
        }
        if (!rule.steps.empty() && step.down <= rule.steps.back().down) {
            throw ConfigError(at + ".down", Show(step.down) + " is not above the previous step's down (" +
                                                Show(rule.steps.back().down) + ")");
        }
        rule.steps.push_back(step);
    }
    // The top step is where the heat ends up: anything below high there
    // would leave a fan short of air at any temperature.
    const std::string top = where + ".steps[" + std::to_string(rule.steps.size() - 1) + "]";
    if (rule.steps.back().state != ZERLO_MAX_FAN_STATE) {
        throw ConfigError(top + ".state", FanStateName(rule.steps.back().state) + " is the top step: it must be high");
    }
    if (rule.steps.back().up > config.critical) {
        throw ConfigError(top + ".up", Show(rule.steps.back().up) + " is above the critical temperature (" +
                                           Show(config.critical) + ")");
    }
    return rule;
}

} // namespace

AutoConfig ParseAutoConfig(const json& config)
{
    RequireKnownKeys(config, "", {"poll_seconds", "on_exit", "critical", "fans"});
    AutoConfig parsed;
    parsed.pollSeconds = Number(config, "", "poll_seconds", parsed.pollSeconds, kLeastPollSeconds, 3600);
    parsed.critical = Number(config, "", "critical", parsed.critical, kLowestCritical, kHighestCritical);
    if (config.contains("on_exit")) {
        const json& onExit = config.at("on_exit");
        if (onExit != "high" && onExit != "keep") {
            throw ConfigError("on_exit", "expected \"high\" or \"keep\", got " + onExit.dump());
        }
        parsed.onExitHigh = onExit == "high";
    }
    const json& fans = Array(config, "", "fans");
    for (size_t i = 0; i < fans.size(); ++i) {
        const std::string where = "fans[" + std::to_string(i) + "]";
        FanRule rule = ParseFan(fans[i], where, parsed);
        for (const FanRule& earlier : parsed.fans) {
            if (earlier.fan == rule.fan) {
                throw ConfigError(where + ".fan", "fan " + std::to_string(rule.fan) + " is already controlled");
            }
        }
        parsed.fans.push_back(rule);
    }
    return parsed;
}

AutoConfig LoadAutoConfig(const std::string& path)
{
    // A configuration is a page of text: anything far larger is a wrong file.
    constexpr size_t kMaxBytes = 1 << 20;
    // The configuration nests five deep; the bound keeps a malicious file
    // from exhausting the stack of whatever walks the document.
    constexpr size_t kMaxDepth = 32;
    const json config = ReadJsonFile(path, kMaxBytes, kMaxDepth);
    try {
        return ParseAutoConfig(config);
    } catch (const ConfigError& error) {
        throw ConfigError(path + ": " + error.field, std::string(error.what()).substr(error.field.size() + 2));
    }
}

std::string ExampleAutoConfig()
{
    return R"json({
  "// poll_seconds": "seconds between two polls of the followed sensors",
  "poll_seconds": 2,
  "// critical": "at or above it on any sensor read, every controlled fan goes high until all are 5 below; 60 to 95",
  "critical": 90,
  "// on_exit": "fan state left behind on Ctrl-C, SIGTERM or service stop: high (safe) or keep",
  "on_exit": "high",
  "// fans": "one entry per fan the loop controls; fans not listed are never touched",
  "fans": [
    {
      "// fan": "fan number, 0 or 1",
      "fan": 0,
      "// sensors": "sensor numbers this fan follows; the hottest one decides",
      "sensors": [0, 1],
      "// idle_state": "state below the first step: off or low",
      "idle_state": "off",
      "// min_change_seconds": "least time from a change of this fan to a step down; at least twice poll_seconds",
      "min_change_seconds": 10,
      "// steps": "ascending states up to high; up: go to the state when any sensor reaches it; down: leave it when all are below, 2 or more below up",
      "steps": [
        {"state": "low", "up": 55, "down": 48},
        {"state": "high", "up": 68, "down": 60}
      ]
    },
    {
      "fan": 1,
      "sensors": [0, 1, 2],
      "idle_state": "off",
      "min_change_seconds": 10,
      "steps": [
        {"state": "low", "up": 50, "down": 44},
        {"state": "high", "up": 64, "down": 56}
      ]
    }
  ]
}
)json";
}

} // namespace zerloctl
