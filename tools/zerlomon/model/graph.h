// The graphs of the sensors over the chosen span, in pixels of the panel
// they are drawn in: which sensors have a graph, where each graph goes,
// where each reading, each threshold of the fan loop and each label goes.
// The Win32 layer only draws what this computes. Texts are UTF-8.
#pragma once

#include "recording.h"

#include "loop/auto_config.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zerlomon {

// The spans the window offers, in seconds; ten minutes unless chosen.
inline constexpr double kSpans[] = {60, 300, 600, 1800, 3600};
inline constexpr double kDefaultSpan = 600;
std::string SpanLabel(double seconds); // "10 min", "30 s"

// The panel draws a graph for each sensor a sample holds, up to this many;
// the tooltip still lists every one read.
inline constexpr unsigned kMostGraphs = 16;
unsigned GraphCount(const std::vector<MonitorSample>& samples); // at least 1

// The sensors the configuration's fans follow, each once, ascending; none
// without a configuration.
std::vector<uint16_t> FollowedSensors(const zerloctl::AutoConfig* config);
// How many sensors a live poll reads (0 to N-1): those asked for, and
// every followed one below kMostGraphs, so that the icon sees them.
unsigned SensorsToRead(unsigned asked, const zerloctl::AutoConfig* config);

// What the fan loop would act on: a reading in its believable range. A
// firmware error, 0, 255 or anything else outside is a failed reading.
bool Believable(const Reading& reading);
// "67 °C", or why it counts as failed: its error, "reading 255 outside 1-125".
std::string ReadingText(const Reading& reading);

// A line across the graph where the fan loop acts: a step's `up` or `down`
// of a fan that follows the sensor, or the critical temperature of a
// followed sensor.
struct Threshold {
    enum Kind { kUp, kDown, kCritical };
    double celsius = 0;
    Kind kind = kUp;
    std::string label; // "fan 1 high up 64 °C", "critical 90 °C"
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
    bool operator==(const Rect&) const = default;
};
struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Label {
    int x = 0, y = 0; // y: the text's middle, or a time label's top
    std::string text;
    bool operator==(const Label&) const = default;
};

// One sensor's place in the panel: its box, and the plot inside it below
// the title, above the time labels, left of the threshold labels.
struct GraphPlace {
    Rect box, plot;
    bool operator==(const GraphPlace&) const = default;
};
struct PanelSize {
    int width = 0, height = 0;
    int lineHeight = 0; // of the font the labels are drawn in
    int labelWidth = 0; // the widest threshold label; 0 when there is none
};
// Every graph gets the same height: an equal share of the panel, but never
// less than its title, a readable plot and its time labels, nor than its
// threshold labels stacked. Graphs that do not fit then scroll.
struct Panel {
    std::vector<GraphPlace> graphs; // already moved up by the scroll
    int contentHeight = 0;
    int scroll = 0; // as asked, held to what there is to scroll
};
Panel LayoutPanel(const PanelSize& size, unsigned graphs, size_t mostThresholds, int scroll);

struct ThresholdLine {
    int y = 0;
    Threshold threshold;
    Label label; // right of the plot, moved apart from its neighbours
};
// Consecutive failed readings, from the first one's x to the last one's.
struct Gap {
    int left = 0, right = 0;
    bool operator==(const Gap&) const = default;
};

// Where the wall clock jumped between two samples (summer time's end, a
// date set by hand): the graph runs on the monotonic clock, so the line
// goes on unbroken and only this mark tells that the stamps jumped.
struct ClockMark {
    int x = 0;
    std::string text; // "clock -1 h", "clock +2 min 30 s"
    bool operator==(const ClockMark&) const = default;
};
// "-1 h", "+2 min 30 s", "+45 s": a jump of whole seconds.
std::string ClockJumpText(double seconds);

struct SensorGraph {
    std::string title;                    // "sensor 0: 67 °C"
    std::vector<std::vector<Point>> runs; // believed readings; anything else breaks the line
    std::vector<Gap> gaps;                // where failed readings broke it
    std::vector<ClockMark> clockMarks;
    std::vector<ThresholdLine> thresholds;
    std::vector<Label> yLabels; // at each tick, right-aligned to x
    std::vector<Label> xLabels; // centred on x, "-8 min" ... "now"
};

// The span ends at the last sample.
SensorGraph LayoutGraph(const std::vector<MonitorSample>& samples, unsigned sensor, double span,
                        const std::vector<Threshold>& thresholds, const GraphPlace& place, int lineHeight);

} // namespace zerlomon
