#include "graph.h"

#include "sample/fan_states.h"

#include <algorithm>
#include <cmath>

namespace zerlomon {

std::string SpanLabel(double seconds)
{
    const long whole = std::lround(seconds);
    return whole % 60 == 0 ? std::to_string(whole / 60) + " min" : std::to_string(whole) + " s";
}

std::vector<Threshold> SensorThresholds(const zerloctl::AutoConfig& config, unsigned sensor)
{
    std::vector<Threshold> lines;
    for (const zerloctl::FanRule& rule : config.fans) {
        if (std::find(rule.sensors.begin(), rule.sensors.end(), sensor) == rule.sensors.end()) continue;
        const std::string fan = "fan " + std::to_string(rule.fan) + " ";
        for (const zerloctl::FanStep& step : rule.steps) {
            const std::string state = zerloctl::FanStateName(step.state);
            auto degrees = [](double value) { return std::to_string(std::lround(value)); };
            lines.push_back({step.up, true, fan + state + " up " + degrees(step.up)});
            lines.push_back({step.down, false, fan + state + " down " + degrees(step.down)});
        }
    }
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

SensorGraph LayoutGraph(const std::vector<MonitorSample>& samples, unsigned sensor, double span,
                        const std::vector<Threshold>& thresholds, Rect plot)
{
    SensorGraph graph;
    const double now = samples.empty() ? 0 : samples.back().seconds;
    const double start = now - span;
    std::vector<double> values;
    for (const Threshold& threshold : thresholds)
        values.push_back(threshold.celsius);
    for (const MonitorSample& sample : samples) {
        if (sample.seconds >= start && sensor < sample.sensors.size() && sample.sensors[sensor].value)
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
        graph.title += SensorText(samples.back().sensors[sensor]);

    std::vector<Point> run;
    for (const MonitorSample& sample : samples) {
        if (sample.seconds < start) continue;
        if (sensor < sample.sensors.size() && sample.sensors[sensor].value) {
            run.push_back({x(sample.seconds), y(*sample.sensors[sensor].value)});
        } else if (!run.empty()) {
            graph.runs.push_back(std::move(run));
            run.clear();
        }
    }
    if (!run.empty()) graph.runs.push_back(std::move(run));

    for (const Threshold& threshold : thresholds)
        graph.thresholds.push_back({y(threshold.celsius), threshold});
    for (double tick : scale.ticks)
        graph.yLabels.push_back({plot.left - 4, y(tick), std::to_string(std::lround(tick))});
    // About four labels along the span, at whole minutes where it allows.
    const double step = span <= 60 ? 15 : span <= 300 ? 60 : span <= 600 ? 120 : span <= 1800 ? 300 : 900;
    for (double ago = span; ago > step / 2; ago -= step)
        graph.xLabels.push_back({x(now - ago), plot.bottom + 2, std::string("-").append(SpanLabel(ago))});
    graph.xLabels.push_back({plot.right, plot.bottom + 2, "now"});
    return graph;
}

} // namespace zerlomon
