// One sample of the notebook: every fan's state and speed, the sensors and
// optionally the Super-I/O levels, stamped by two clocks. `watch --json`
// prints it, `status` shows its readings, and Zerlo Monitor draws it, live
// or replayed from a file of watch's lines; this is its one shape, in both
// directions.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace zerloctl {

// A reading, or why there is none ("firmware call failed").
struct Reading {
    std::optional<uint32_t> value;
    std::string error;
    bool operator==(const Reading&) const = default;
};

// Both values, or neither and why.
struct FanReading {
    std::optional<uint32_t> state; // 0 off, 1 low, 2 high
    std::optional<uint32_t> rpm;
    std::string error;
    bool operator==(const FanReading&) const = default;
};

struct Sample {
    // The wall clock's stamp ("2026-12-07 13:05:09", local time) or the
    // simulated machine's ("sim 00:10:30"): it labels, and may jump.
    std::string time;
    // Seconds since the sampling began, on a clock that nobody sets; empty
    // in the samples that watch wrote before it had one.
    std::optional<double> monotonic;
    std::string failure; // the whole sample failed: no device to ask
    std::vector<FanReading> fans;
    std::vector<Reading> sensors;
    std::vector<Reading> sioLevels; // empty when not read
    bool operator==(const Sample&) const = default;
};

// A temperature's JSON field, in the sample and in every command's reply.
constexpr const char* kCelsiusField = "celsius";

// The object of one line of `watch --json`.
nlohmann::json SampleJson(const Sample& sample);
// Such an object back; throws std::invalid_argument naming the field that
// is missing or wrong.
Sample SampleFromJson(const nlohmann::json& object);

} // namespace zerloctl
