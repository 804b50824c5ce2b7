// `zerloctl watch`: fans, sensors and optionally the Super-I/O levels,
// sampled until Ctrl-C or --count. A failed item shows as failed in its
// sample; the view goes on.
#include "commands/watch_command.h"

#include "clock/make_clock.h"
#include "console/stdout_lines.h"
#include "console/stop_signals.h"
#include "requests/requests.h"

#include "frame/zerlo_ioctl.h"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zerloctl {

namespace {

using nlohmann::json;

struct Sample {
    std::string time;
    std::vector<std::optional<uint32_t>> fanStates, fanRpm, sensors, sioLevels;
};

std::optional<uint32_t> Read(Transport& transport, uint32_t code, uint16_t argument)
{
    const ValueResult r = RequestValue(transport, code, argument);
    if (r.refused || r.value == ZERLO_FAILURE) return std::nullopt;
    return r.value;
}

Sample TakeSample(Transport& transport, const WatchOptions& options, LoopClock& clock)
{
    Sample sample;
    sample.time = clock.stamp();
    for (uint16_t fan = 0; fan <= ZERLO_MAX_FAN; ++fan) {
        sample.fanStates.push_back(Read(transport, IOCTL_SMM_GET_FAN_STATE, fan));
        sample.fanRpm.push_back(Read(transport, IOCTL_SMM_GET_FAN_SPEED, fan));
    }
    for (uint16_t sensor = 0; sensor < options.sensors; ++sensor)
        sample.sensors.push_back(Read(transport, IOCTL_SMM_GET_TEMPERATURE, sensor));
    for (uint16_t fan = 0; options.sio && fan <= ZERLO_MAX_FAN; ++fan)
        sample.sioLevels.push_back(Read(transport, IOCTL_SIO_GET_FAN_LEVEL, fan));
    return sample;
}

std::string StateText(uint32_t state)
{
    static const char* const names[] = {"off", "low", "high"};
    return state <= ZERLO_MAX_FAN_STATE ? names[state] : "state " + std::to_string(state);
}

std::string FanText(const Sample& s, size_t fan)
{
    if (!s.fanStates[fan] || !s.fanRpm[fan]) return "failed";
    return StateText(*s.fanStates[fan]) + ", " + std::to_string(*s.fanRpm[fan]) + " rpm";
}

std::string Shown(const std::optional<uint32_t>& value, const char* unit)
{
    return value ? std::to_string(*value) + unit : "failed";
}

json SampleJson(const Sample& s)
{
    json object{{"time", s.time}, {"fans", json::array()}, {"sensors", json::array()}};
    for (size_t fan = 0; fan < s.fanStates.size(); ++fan) {
        json entry{{"fan", fan}};
        if (s.fanStates[fan] && s.fanRpm[fan]) {
            entry["state"] = *s.fanStates[fan];
            entry["state_name"] = StateText(*s.fanStates[fan]);
            entry["rpm"] = *s.fanRpm[fan];
        } else {
            entry["error"] = "firmware call failed";
        }
        object["fans"].push_back(entry);
    }
    for (size_t sensor = 0; sensor < s.sensors.size(); ++sensor) {
        json entry{{"sensor", sensor}};
        if (s.sensors[sensor])
            entry["celsius"] = *s.sensors[sensor];
        else
            entry["error"] = "firmware call failed";
        object["sensors"].push_back(entry);
    }
    for (size_t fan = 0; fan < s.sioLevels.size(); ++fan) {
        json entry{{"fan", fan}};
        if (s.sioLevels[fan])
            entry["level"] = *s.sioLevels[fan];
        else
            entry["error"] = "no Super-I/O chip";
        object["sio_levels"].push_back(entry);
    }
    return object;
}

std::string SampleLine(const Sample& s)
{
    std::string line = s.time;
    for (size_t fan = 0; fan < s.fanStates.size(); ++fan)
        line += " | fan " + std::to_string(fan) + ": " + FanText(s, fan);
    for (size_t sensor = 0; sensor < s.sensors.size(); ++sensor)
        line += " | sensor " + std::to_string(sensor) + ": " + Shown(s.sensors[sensor], " C");
    for (size_t fan = 0; fan < s.sioLevels.size(); ++fan)
        line += " | sio fan " + std::to_string(fan) + ": " + Shown(s.sioLevels[fan], "");
    return line;
}

std::vector<std::string> SampleTable(const Sample& s)
{
    std::vector<std::string> lines{"zerloctl watch  " + s.time + "  (Ctrl-C ends)", ""};
    char line[96];
    for (size_t fan = 0; fan < s.fanStates.size(); ++fan) {
        std::snprintf(line, sizeof line, "fan %u      %s", static_cast<unsigned>(fan), FanText(s, fan).c_str());
        lines.push_back(line);
    }
    for (size_t sensor = 0; sensor < s.sensors.size(); ++sensor) {
        std::snprintf(line, sizeof line, "sensor %-3u %s", static_cast<unsigned>(sensor),
                      Shown(s.sensors[sensor], " C").c_str());
        lines.push_back(line);
    }
    for (size_t fan = 0; fan < s.sioLevels.size(); ++fan) {
        std::snprintf(line, sizeof line, "sio fan %u  %s", static_cast<unsigned>(fan),
                      Shown(s.sioLevels[fan], "").c_str());
        lines.push_back(line);
    }
    return lines;
}

// Redraws the table in place. The XP console knows no escape sequences, so
// there the cursor goes back through the console API and short lines are
// padded over what the last sample left.
class TableView {
  public:
    void draw(const std::vector<std::string>& lines)
    {
#if defined(_WIN32)
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!drawn_ && GetConsoleScreenBufferInfo(out, &info)) origin_ = info.dwCursorPosition;
        if (drawn_) SetConsoleCursorPosition(out, origin_);
        for (const std::string& line : lines)
            std::printf("%-78s\n", line.c_str());
        std::fflush(stdout);
        // A screen buffer that scrolled moved the table's first line up.
        if (GetConsoleScreenBufferInfo(out, &info))
            origin_.Y = static_cast<SHORT>(info.dwCursorPosition.Y - static_cast<SHORT>(lines.size()));
#else
        if (drawn_) std::printf("\x1b[%zuF", lastLines_);
        for (const std::string& line : lines)
            std::printf("%s\x1b[K\n", line.c_str());
        std::printf("\x1b[J");
        std::fflush(stdout);
        lastLines_ = lines.size();
#endif
        drawn_ = true;
    }

  private:
    bool drawn_ = false;
#if defined(_WIN32)
    COORD origin_{};
#else
    size_t lastLines_ = 0;
#endif
};

} // namespace

nlohmann::json WatchSampleJson(Transport& transport, const WatchOptions& options, LoopClock& clock)
{
    return SampleJson(TakeSample(transport, options, clock));
}

int RunWatch(Transport& transport, bool asJson, const WatchOptions& options)
{
    InstallStopHandlers();
    const std::unique_ptr<LoopClock> clock = MakeLoopClock(transport, options.timeScale);
    const bool table = !asJson && StdoutIsTerminal();
    TableView view;
    for (unsigned taken = 0; StopRequest().load() == 0;) {
        const Sample sample = TakeSample(transport, options, *clock);
        if (asJson)
            std::cout << SampleJson(sample).dump() << std::endl;
        else if (table)
            view.draw(SampleTable(sample));
        else
            std::cout << SampleLine(sample) << std::endl;
        if (options.count != 0 && ++taken >= options.count) break;
        clock->sleep(options.intervalSeconds, StopRequest());
    }
    MarkStopped();
    return 0;
}

} // namespace zerloctl
