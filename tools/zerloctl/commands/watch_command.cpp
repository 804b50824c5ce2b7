// `zerloctl watch`: fans, sensors and optionally the Super-I/O levels,
// sampled until Ctrl-C or --count. A failed item shows as failed in its
// sample; the view goes on.
#include "commands/watch_command.h"

#include "clock/make_clock.h"
#include "console/stdout_lines.h"
#include "console/stop_signals.h"
#include "sample/fan_states.h"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zerloctl {

namespace {

// A failed item shows as "failed" in the text forms; JSON says why.
std::string FanText(const FanReading& fan)
{
    if (!fan.state || !fan.rpm) return "failed";
    return FanStateName(*fan.state) + ", " + std::to_string(*fan.rpm) + " rpm";
}

std::string Shown(const Reading& reading, const char* unit)
{
    return reading.value ? std::to_string(*reading.value) + unit : "failed";
}

std::string SampleLine(const Sample& s)
{
    std::string line = s.time;
    for (size_t fan = 0; fan < s.fans.size(); ++fan)
        line += " | fan " + std::to_string(fan) + ": " + FanText(s.fans[fan]);
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
    for (size_t fan = 0; fan < s.fans.size(); ++fan) {
        std::snprintf(line, sizeof line, "fan %u      %s", static_cast<unsigned>(fan), FanText(s.fans[fan]).c_str());
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

int RunWatch(Transport& transport, bool asJson, const WatchOptions& options)
{
    InstallStopHandlers();
    const std::unique_ptr<LoopClock> clock = MakeLoopClock(transport, options.timeScale);
    const bool table = !asJson && StdoutIsTerminal();
    TableView view;
    const double origin = clock->now();
    for (unsigned taken = 0; StopRequest().load() == 0;) {
        const Sample sample = TakeSample(transport, options.plan, *clock, origin);
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
