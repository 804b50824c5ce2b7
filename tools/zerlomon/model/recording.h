// What the monitor shows, as `zerloctl --json watch` prints it: one sample
// per poll, and the fan loop's events as `zerloctl auto --json` prints them.
// A live poll and a replayed file both arrive here as those JSON lines, so
// the window cannot show a live notebook differently from its recording.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zerlomon {

// A reading, or why there is none ("firmware call failed").
struct Reading {
    std::optional<uint32_t> value;
    std::string error;
};

struct FanReading {
    std::optional<uint32_t> state; // 0 off, 1 low, 2 high
    std::optional<uint32_t> rpm;
    std::string error;
};

struct MonitorSample {
    std::string time;    // as stamped: "sim 00:10:30" or "2026-12-07 13:05:09"
    double seconds = 0;  // the stamp on one axis, for the graphs
    std::string failure; // the whole sample failed: no device to ask
    std::vector<FanReading> fans;
    std::vector<Reading> sensors;
    std::vector<Reading> sioLevels; // empty when not read
};

struct LoopEventView {
    std::string time;
    double seconds = 0;
    std::string kind; // change, fail-safe, recovered, cannot-set, stopping, found, critical
    int fan = -1;
    std::string from, to, reason;
};

struct Recording {
    std::vector<MonitorSample> samples;
    std::vector<LoopEventView> events;
};

// A line that is not what `watch --json` or `auto --json` print, named by
// its file and line: "rec.jsonl:3: ...".
struct ReplayError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Seconds from the stamp's origin; throws std::invalid_argument for a stamp
// that is neither watch's simulated nor its wall-clock form.
double StampSeconds(const std::string& stamp);

// Each throws std::invalid_argument naming what is missing or wrong.
MonitorSample SampleFromJson(const nlohmann::json& object);
LoopEventView EventFromJson(const nlohmann::json& object);

// Samples and events in the order given; blank lines are skipped. Samples
// may repeat a second (a watch faster than its stamps) but not go back.
Recording ReadRecording(std::istream& in, const std::string& name);
// Anything but a regular file, or one longer than kMaxRecordingBytes, is
// refused before it is read whole.
Recording ReadRecordingFile(const std::string& path); // throws ReplayError

// A day of `watch --json` once a second is about 28 MB.
constexpr size_t kMaxRecordingBytes = size_t{64} << 20;

// The view model's texts are UTF-8: the graph painter draws them through
// the wide API, so the degree sign shows whatever the ANSI code page.
inline constexpr char kCelsius[] = "\xC2\xB0"
                                   "C";
// How an item shows: "67 °C", "high, 4500 rpm", or its error.
std::string SensorText(const Reading& reading);
std::string FanText(const FanReading& fan);
std::string StateName(uint32_t state);

} // namespace zerlomon
