#include "graph.h"

#include "sample/fan_states.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace zerlomon {

namespace {

// Room for the y labels left of a plot, and between a plot and its
// threshold labels: the "now" under the plot's right end reaches into it.
constexpr int kAxisWidth = 36, kLabelGap = 14, kRightMargin = 16;
// A plot lower than this many lines shows a trend no more.
constexpr int kLeastPlotLines = 3;

std::string Degrees(double celsius)
{
    return std::to_string(std::lround(celsius)) + " " + kCelsius;
}

// Each label as near its line as the others let it, a line apart, inside
// [top, bottom]; labels that cannot all fit share the room evenly.
std::vector<int> SpreadLabels(const std::vector<int>& wanted, int top, int bottom, int lineHeight)
{
    std::vector<size_t> order(wanted.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return wanted[a] < wanted[b]; });
    std::vector<int> y(wanted.size());
    for (size_t i = 0; i < order.size(); ++i)
        y[order[i]] = std::max(i ? y[order[i - 1]] + lineHeight : top, wanted[order[i]]);
    for (size_t i = order.size(); i-- > 0;)
        y[order[i]] = std::min(i + 1 < order.size() ? y[order[i + 1]] - lineHeight : bottom, y[order[i]]);
    if (!order.empty() && y[order[0]] < top) {
        const int room = bottom - top, gaps = static_cast<int>(order.size()) - 1;
        for (size_t i = 0; i < order.size(); ++i)
            y[order[i]] = top + (gaps ? room * static_cast<int>(i) / gaps : 0);
    }
    return y;
}

} // namespace

std::string SpanLabel(double seconds)
{
    const long whole = std::lround(seconds);
    return whole % 60 == 0 ? std::to_string(whole / 60) + " min" : std::to_string(whole) + " s";
}

unsigned GraphCount(const std::vector<MonitorSample>& samples)
{
    size_t most = 1;
    for (const MonitorSample& sample : samples)
        most = std::max(most, sample.sensors.size());
    return static_cast<unsigned>(std::min<size_t>(most, kMostGraphs));
}

std::vector<uint16_t> FollowedSensors(const zerloctl::AutoConfig* config)
{
    std::vector<uint16_t> followed;
    for (const zerloctl::FanRule& rule : config ? config->fans : std::vector<zerloctl::FanRule>{})
        followed.insert(followed.end(), rule.sensors.begin(), rule.sensors.end());
    std::sort(followed.begin(), followed.end());
    followed.erase(std::unique(followed.begin(), followed.end()), followed.end());
    return followed;
}

unsigned SensorsToRead(unsigned asked, const zerloctl::AutoConfig* config)
{
    unsigned count = asked;
    for (uint16_t sensor : FollowedSensors(config)) {
        if (sensor < kMostGraphs) count = std::max(count, sensor + 1u);
    }
    return count;
}

bool Believable(const Reading& reading)
{
    return reading.value && *reading.value >= zerloctl::kLowestBelievableReading &&
           *reading.value <= zerloctl::kHighestBelievableReading;
}

std::string ReadingText(const Reading& reading)
{
    if (!reading.value) return reading.error;
    if (!Believable(reading)) {
        return "reading " + std::to_string(*reading.value) + " outside " +
               std::to_string(zerloctl::kLowestBelievableReading) + "-" +
               std::to_string(zerloctl::kHighestBelievableReading);
    }
    return SensorText(reading);
}

std::vector<Threshold> SensorThresholds(const zerloctl::AutoConfig& config, unsigned sensor)
{
    std::vector<Threshold> lines;
    for (const zerloctl::FanRule& rule : config.fans) {
        if (std::find(rule.sensors.begin(), rule.sensors.end(), sensor) == rule.sensors.end()) continue;
        const std::string fan = "fan " + std::to_string(rule.fan) + " ";
        for (const zerloctl::FanStep& step : rule.steps) {
            const std::string state = zerloctl::FanStateName(step.state);
            lines.push_back({step.up, Threshold::kUp, fan + state + " up " + Degrees(step.up)});
            lines.push_back({step.down, Threshold::kDown, fan + state + " down " + Degrees(step.down)});
        }
    }
    // The loop reads only the sensors its fans follow, so only those can
    // send every fan high.
    if (!lines.empty())
        lines.push_back({config.critical, Threshold::kCritical, "critical " + Degrees(config.critical)});
    return lines;
}

Scale TemperatureScale(const std::vector<double>& values)
{
    Scale scale{20, 60, {}};
    if (!values.empty()) {
        const auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
        scale.low = std::floor((*lowest - 2) / 10) * 10;
        scale.high = std::ceil((*highest + 2) / 10) * 10;
    }
    scale.high = std::max(scale.high, scale.low + 30);
    const double step = scale.high - scale.low > 80 ? 20 : 10;
    for (double tick = std::ceil(scale.low / step) * step; tick <= scale.high; tick += step)
        scale.ticks.push_back(tick);
    return scale;
}

Panel LayoutPanel(const PanelSize& size, unsigned graphs, size_t mostThresholds, int scroll)
{
    const int line = size.lineHeight, count = static_cast<int>(std::max(graphs, 1u));
    const int leastBox = std::max(2 * (line + 6) + kLeastPlotLines * line, static_cast<int>(mostThresholds) * line + 2);
    const int box = std::max(size.height / count, leastBox);
    const int right = size.labelWidth > 0 ? size.labelWidth + kLabelGap + 4 : kRightMargin;
    Panel panel;
    panel.contentHeight = box * count;
    panel.scroll = std::clamp(scroll, 0, std::max(0, panel.contentHeight - size.height));
    for (int i = 0; i < count; ++i) {
        const Rect outer{0, i * box - panel.scroll, size.width, (i + 1) * box - panel.scroll};
        panel.graphs.push_back(
            {outer, {outer.left + kAxisWidth, outer.top + line + 6, outer.right - right, outer.bottom - line - 6}});
    }
    return panel;
}

std::string ClockJumpText(double seconds)
{
    const long long whole = std::llround(std::abs(seconds));
    const long long hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
    std::string text = seconds < 0 ? "-" : "+";
    const auto part = [&](long long value, const char* unit) {
        if (value == 0) return;
        if (text.size() > 1) text += " ";
        text += std::to_string(value) + " " + unit;
    };
    part(hours, "h");
    part(minutes, "min");
    part(rest, "s");
    return text.size() > 1 ? text : text + "0 s";
}

SensorGraph LayoutGraph(const std::vector<MonitorSample>& samples, unsigned sensor, double span,
                        const std::vector<Threshold>& thresholds, const GraphPlace& place, int lineHeight)
{
    const Rect& plot = place.plot;
    SensorGraph graph;
    const double now = samples.empty() ? 0 : samples.back().seconds;
    const double start = now - span;
    // A failed reading says nothing of the temperature: the scale is the
    // believed readings' and the thresholds', so a 255 crushes nothing.
    std::vector<double> values;
    for (const Threshold& threshold : thresholds)
        values.push_back(threshold.celsius);
    for (const MonitorSample& sample : samples) {
        if (sample.seconds >= start && sensor < sample.sensors.size() && Believable(sample.sensors[sensor]))
            values.push_back(*sample.sensors[sensor].value);
    }
    const Scale scale = TemperatureScale(values);
    const double width = plot.right - plot.left, height = plot.bottom - plot.top;
    auto y = [&](double celsius) {
        return plot.bottom - static_cast<int>(std::lround((celsius - scale.low) / (scale.high - scale.low) * height));
    };
    auto x = [&](double seconds) {
        return plot.left + static_cast<int>(std::lround((seconds - start) / span * width));
    };

    graph.title = "sensor " + std::to_string(sensor) + ": ";
    if (samples.empty())
        graph.title += "no sample yet";
    else if (!samples.back().failure.empty())
        graph.title += samples.back().failure;
    else if (sensor >= samples.back().sensors.size())
        graph.title += "not read";
    else
        graph.title += ReadingText(samples.back().sensors[sensor]);

    // A sample that failed whole, or a reading that failed, is a gap; a
    // sample that did not ask for the sensor only ends the line.
    std::vector<Point> run;
    const auto endRun = [&] {
        if (!run.empty()) graph.runs.push_back(std::move(run));
        run.clear();
    };
    bool inGap = false;
    for (const MonitorSample& sample : samples) {
        if (sample.seconds < start) continue;
        const bool read = sensor < sample.sensors.size();
        if (read && Believable(sample.sensors[sensor])) {
            run.push_back({x(sample.seconds), y(*sample.sensors[sensor].value)});
            inGap = false;
            continue;
        }
        endRun();
        if (read || !sample.failure.empty()) {
            if (inGap)
                graph.gaps.back().right = x(sample.seconds);
            else
                graph.gaps.push_back({x(sample.seconds), x(sample.seconds)});
        }
        inGap = read || !sample.failure.empty();
    }
    endRun();
    for (const MonitorSample& sample : samples) {
        if (sample.seconds >= start && sample.clockJump != 0)
            graph.clockMarks.push_back({x(sample.seconds), "clock " + ClockJumpText(sample.clockJump)});
    }

    std::vector<int> wanted;
    for (const Threshold& threshold : thresholds)
        wanted.push_back(y(threshold.celsius));
    const std::vector<int> at =
        SpreadLabels(wanted, place.box.top + lineHeight / 2 + 1, place.box.bottom - lineHeight / 2 - 1, lineHeight);
    for (size_t i = 0; i < thresholds.size(); ++i)
        graph.thresholds.push_back({wanted[i], thresholds[i], {plot.right + kLabelGap, at[i], thresholds[i].label}});
    // Every other tick, from the top, where they would be closer than a
    // label is high.
    const size_t every = scale.ticks.size() > 1 && y(scale.ticks[0]) - y(scale.ticks[1]) < lineHeight + 2 ? 2 : 1;
    for (size_t i = 0; i < scale.ticks.size(); ++i) {
        if ((scale.ticks.size() - 1 - i) % every == 0)
            graph.yLabels.push_back({plot.left - 4, y(scale.ticks[i]), std::to_string(std::lround(scale.ticks[i]))});
    }
    // About four labels along the span, at whole minutes where it allows.
    // None at the left end: the span chosen says it, and the lowest tick's
    // label is there.
    const double step = span <= 60 ? 15 : span <= 300 ? 60 : span <= 600 ? 120 : span <= 1800 ? 300 : 900;
    for (double ago = span - step; ago > step / 2; ago -= step)
        graph.xLabels.push_back({x(now - ago), plot.bottom + 2, std::string("-").append(SpanLabel(ago))});
    graph.xLabels.push_back({plot.right, plot.bottom + 2, "now"});
    return graph;
}

} // namespace zerlomon
