// The monitor's window and its tray icon: one sensor graph each, the fans
// with their buttons, the Super-I/O levels and the ZerloAuto service, fed
// by the driver or by a recording.
#pragma once

#include "recording.h"
#include "service_view.h"

#include <optional>
#include <string>
#include <windows.h>

namespace zerlomon {

struct MonitorOptions {
    std::optional<Recording> replay; // instead of the driver
    std::string replayName;
    std::string configPath; // thresholds; live, the service's own when not given
    double interval = kDefaultPollSeconds;
    unsigned sensors = 4;      // read live at least; every followed one is read too (SensorsToRead)
    std::string selfCheckPath; // where to write what the window shows
};

// Runs until the owner chooses Exit; the process's exit code.
int RunMonitor(HINSTANCE instance, const MonitorOptions& options, int show);

} // namespace zerlomon
