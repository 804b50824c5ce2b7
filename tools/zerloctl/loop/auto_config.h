// The fan loop's configuration: a JSON file, checked whole before the loop
// sends anything, so a typo can never leave a notebook half-controlled.
#pragma once

#include "json_reader.h"

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
    uint16_t idleState = 0; // below every step
    std::vector<FanStep> steps;
    double minChangeSeconds = 10;
};

struct AutoConfig {
    double pollSeconds = 2;
    bool onExitHigh = true;
    std::vector<FanRule> fans;
};

AutoConfig ParseAutoConfig(const nlohmann::json& config); // throws ConfigError
AutoConfig LoadAutoConfig(const std::string& path);       // throws ConfigError
std::string ExampleAutoConfig();                          // passes ParseAutoConfig

const char* FanStateText(uint16_t state); // off, low, high

// The highest reading a sensor may give and still be believed.
constexpr uint32_t kHighestBelievableReading = 125;

} // namespace zerloctl
