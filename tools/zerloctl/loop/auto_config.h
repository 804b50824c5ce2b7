// The fan loop's configuration: a JSON file, checked whole before the loop
// sends anything, so a typo can never leave a notebook half-controlled.
#pragma once

#include "input/json_reader.h"
#include "sample/take_sample.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zerloctl {

// One rung of a fan's ladder: the fan goes to `state` when any followed
// sensor reaches `up`, and leaves it downward only when all are below `down`.
struct FanStep {
    uint16_t state = 0;
    double up = 0;
    double down = 0;
};

struct FanRule {
    uint16_t fan = 0;
    std::vector<uint16_t> sensors;
    uint16_t idleState = 0;     // below every step
    std::vector<FanStep> steps; // the top one is high
    double minChangeSeconds = 10;
};

struct AutoConfig {
    double pollSeconds = 2;
    bool onExitHigh = true;
    // At or above it on any sensor the loop reads, every controlled fan
    // goes high, whatever its steps say, until every such sensor is
    // kCriticalMargin below it again.
    double critical = 90;
    std::vector<FanRule> fans;
};

AutoConfig ParseAutoConfig(const nlohmann::json& config); // throws ConfigError
AutoConfig LoadAutoConfig(const std::string& path);       // throws ConfigError
std::string ExampleAutoConfig();                          // passes ParseAutoConfig

// The readings a sensor may give and still be believed: no sensor of a
// running notebook reads 0 °C, and a firmware that answers 0 to every
// call must not look like a cold one.
constexpr uint32_t kLowestBelievableReading = 1;
constexpr uint32_t kHighestBelievableReading = 125;

// What a file may set the critical temperature to, and how far below it
// every sensor must be before a critical episode ends.
constexpr double kLowestCritical = 60;
constexpr double kHighestCritical = 95;
constexpr double kCriticalMargin = 5;

// The loop loads the firmware no more than `watch` may.
constexpr double kLeastPollSeconds = kWatchFloorSeconds;
// A fan could otherwise change at every poll: the least gap between a
// step's up and down (readings are whole degrees), and the least minimum
// interval, in polls.
constexpr double kLeastStepGap = 2;
constexpr double kLeastChangePolls = 2;

} // namespace zerloctl
