// The graph of one sensor over the chosen span, in pixels of the area it is
// drawn in: where each reading, each threshold of the fan loop and each
// label goes. The Win32 layer only draws what this computes.
#pragma once

#include "recording.h"

#include "loop/auto_config.h"

#include <string>
#include <vector>

namespace zerlomon {

// The spans the window offers, in seconds; ten minutes unless chosen.
inline constexpr double kSpans[] = {60, 300, 600, 1800, 3600};
inline constexpr double kDefaultSpan = 600;
std::string SpanLabel(double seconds); // "10 min", "30 s"

// A step's `up` or `down` of a fan that follows the sensor.
struct Threshold {
    double celsius = 0;
    bool up = true;
    std::string label; // "fan 0 high up 68"
};
std::vector<Threshold> SensorThresholds(const zerloctl::AutoConfig& config, unsigned sensor);

struct Scale {
    double low = 0, high = 0;
    std::vector<double> ticks;
};
// Whole tens around the readings and thresholds, at least 30 degrees wide,
// so that a steady sensor is not drawn as noise.
Scale TemperatureScale(const std::vector<double>& values);

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
};
struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Label {
    int x = 0, y = 0;
    std::string text;
    bool operator==(const Label&) const = default;
};
struct ThresholdLine {
    int y = 0;
    Threshold threshold;
};

struct SensorGraph {
    std::string title;                    // "sensor 0: 67 C"
    std::vector<std::vector<Point>> runs; // a failed reading breaks the line
    std::vector<ThresholdLine> thresholds;
    std::vector<Label> yLabels; // at each tick, right-aligned to x
    std::vector<Label> xLabels; // centred on x, "-10 min" ... "now"
};

// The span ends at the last sample.
SensorGraph LayoutGraph(const std::vector<MonitorSample>& samples, unsigned sensor, double span,
                        const std::vector<Threshold>& thresholds, Rect plot);

} // namespace zerlomon
