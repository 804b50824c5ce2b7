#include "service_view.h"

#include <algorithm>
#include <sstream>

namespace zerlomon {

std::string ConfigOfServiceCommand(const std::string& command)
{
    const std::string option = "--config ";
    const size_t at = command.find(option);
    if (at == std::string::npos) return "";
    const size_t start = at + option.size();
    if (start < command.size() && command[start] == '"') {
        const size_t end = command.find('"', start + 1);
        return end == std::string::npos ? "" : command.substr(start + 1, end - start - 1);
    }
    return command.substr(start, command.find(' ', start) - start);
}

std::string ServiceLabel(const std::string& state, const std::string& failure, const std::string& logPath)
{
    std::string label = "ZerloAuto: " + state;
    if (!failure.empty()) label += " after a failure; " + failure;
    if (!logPath.empty()) label += "\nlog: " + logPath;
    return label;
}

std::string StateWanted(const std::string& action)
{
    return action == "stop" ? "stopped" : "running";
}

std::string PendingLabel(const std::string& action)
{
    return std::string("ZerloAuto: ") + (action == "stop" ? "stopping" : "starting") + "\xE2\x80\xA6";
}

std::string ActionOutcome(const std::string& action, bool ok, const std::string& message,
                          const std::string& reachedState)
{
    const std::string wanted = StateWanted(action);
    if (ok && reachedState == wanted) return message;
    const std::string now = "ZerloAuto is " + reachedState + " now";
    if (ok) return message + ", but " + now;
    return message + (reachedState == wanted ? "; yet " : "; ") + now;
}

std::vector<std::string> LastLines(const std::string& text, size_t count)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}

std::string EventText(const LoopEventView& event)
{
    const std::string fan = event.fan >= 0 ? "fan " + std::to_string(event.fan) + ": " : "";
    if (event.kind == "change") return fan + (event.from.empty() ? "unknown" : event.from) + " -> " + event.to;
    if (event.kind == "found") return fan + "found " + event.to + ", not " + event.from;
    return fan + event.kind + (event.reason.empty() ? "" : ": " + event.reason);
}

std::optional<std::string> FailSafeNews::news(const std::string& latest, const std::string& reason)
{
    const bool first = !looked_;
    looked_ = true;
    if (latest.empty() || latest == latest_) return std::nullopt;
    latest_ = latest;
    if (first) return std::nullopt;
    return "The fan loop failed safe: " + reason + ". Every controlled fan is set to high.";
}

std::optional<std::string> FailSafeNews::lookAtLog(const std::vector<std::string>& lines)
{
    const std::string marker = "fail-safe: ", tail = "; every controlled fan to high";
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const size_t at = line->find(marker);
        if (at == std::string::npos) continue;
        std::string reason = line->substr(at + marker.size());
        if (reason.size() >= tail.size() && reason.compare(reason.size() - tail.size(), tail.size(), tail) == 0)
            reason.resize(reason.size() - tail.size());
        return news(*line, reason);
    }
    return news("", "");
}

std::optional<std::string> FailSafeNews::lookAtEvents(const std::vector<LoopEventView>& events)
{
    // A replay is all news: its first look counts.
    looked_ = true;
    for (auto event = events.rbegin(); event != events.rend(); ++event) {
        if (event->kind == "fail-safe") return news(event->time + " " + event->reason, event->reason);
    }
    return std::nullopt;
}

PollPlan PlanPoll(double askedSeconds, bool windowShown)
{
    return {std::max(askedSeconds, kWatchFloorSeconds), windowShown};
}

} // namespace zerlomon
