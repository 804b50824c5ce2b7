// What the monitor shows, as `zerloctl --json watch` prints it: one sample
// per poll, and the fan loop's events as `zerloctl auto --json` prints them.
// A live poll and a replayed file both arrive here as those JSON lines, so
// the window cannot show a live notebook differently from its recording.
#pragma once

#include "sample/sample.h"
#include <cstdint>
#include <iosfwd>
#include <map>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zerlomon {

using zerloctl::FanReading;
using zerloctl::Reading;

// A sample of `watch`, placed on the graphs' axis.
struct MonitorSample : zerloctl::Sample {
    // Where the graphs draw it: the monotonic clock's seconds where the
    // sample has them, so that a wall clock set back or forward moves
    // nothing; the wall clock's only in a recording that has none.
    double seconds = 0;
    // Seconds the wall clock moved beyond the monotonic one since the
    // sample before (negative: set back), when more than kClockJumpSeconds
    // either way; 0 otherwise. The graph marks it; the stamps around it
    // label the two sides.
    double clockJump = 0;
};

// A time sync's correction of a few seconds is no jump worth a mark.
constexpr double kClockJumpSeconds = 30;

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

// Throws std::invalid_argument naming what is missing or wrong.
LoopEventView EventFromJson(const nlohmann::json& object);

// `sample` placed after `before` (none: the first, placed at its monotonic
// stamp, or without one at its wall-clock stamp). With both monotonic
// stamps the step between them is the monotonic one; without them, or
// where the monotonic stamp went back (another run of watch appended to
// the file), it is the wall clock's, and a wall clock that went back keeps
// the sample at the second before it, marked as a jump, so that an older
// recording across the end of summer time replays in file order. Throws
// std::invalid_argument for a wall-clock stamp it needs and cannot read.
MonitorSample PlaceSample(zerloctl::Sample sample, const MonitorSample* before);

// Samples and events in the order given; blank lines are skipped.
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

} // namespace zerlomon
