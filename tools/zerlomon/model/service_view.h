// What the monitor shows of the ZerloAuto service: which configuration it
// runs (its thresholds and its log come from there), the last lines of its
// log, and when the loop newly failed safe, for the balloon.
#pragma once

#include "recording.h"

#include "sample/take_sample.h"

#include <optional>
#include <string>
#include <vector>

namespace zerlomon {

// The configuration path of a service command line
// ("\"C:\\zerlo\\zerloctl.exe\" auto-service --config \"C:\\zerlo\\cool.json\""),
// empty when it names none.
std::string ConfigOfServiceCommand(const std::string& command);

// The service panel's label: the state, why the service stopped when a
// failure stopped it (a stop that could not set every fan high), and where
// its log is.
std::string ServiceLabel(const std::string& state, const std::string& failure, const std::string& logPath);

// The state an action ("start", "stop" or a preset's name, which restarts
// the service) leaves ZerloAuto in when it succeeds.
std::string StateWanted(const std::string& action);

// The label while an action is under way, in UTF-8: the window draws it with the
// wide API, so that the ellipsis is one in every code page.
std::string PendingLabel(const std::string& action);

// The status line once an action ended. The service's state is read after
// it, whatever it reported: an action that gave up waiting (the manager
// slow, or the Run As dialog answered late) may still have been carried
// out, and a success may have been undone by a failure at the start.
std::string ActionOutcome(const std::string& action, bool ok, const std::string& message,
                          const std::string& reachedState);

// The last `count` lines of a log's text, without their line ends.
std::vector<std::string> LastLines(const std::string& text, size_t count);

// A replayed event as a line of the service's log shows it, without its time.
std::string EventText(const LoopEventView& event);

// Watches a log (or a replay's events) for a fail-safe the owner has not
// been told of. What the first look finds is history, not news.
class FailSafeNews {
  public:
    // The balloon's text, once per fail-safe line that appeared since the
    // last look.
    std::optional<std::string> lookAtLog(const std::vector<std::string>& lines);
    std::optional<std::string> lookAtEvents(const std::vector<LoopEventView>& events);

  private:
    std::optional<std::string> news(const std::string& latest, const std::string& reason);

    bool looked_ = false;
    std::string latest_; // the last fail-safe line or event seen
};

// The monitor asks the firmware no more often than `zerloctl watch` may
// (kWatchFloorSeconds).
using zerloctl::kWatchFloorSeconds;
inline constexpr double kDefaultPollSeconds = 1;

struct PollPlan {
    double interval = kDefaultPollSeconds;
    bool sio = true; // the window's Super-I/O panel; the icon needs none of it
};
// While the window is hidden only the icon and its tooltip are fed.
PollPlan PlanPoll(double askedSeconds, bool windowShown);

} // namespace zerlomon
