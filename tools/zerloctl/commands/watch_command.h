// `zerloctl watch`: fans, sensors and optionally the Super-I/O levels,
// sampled until Ctrl-C or --count. A failed item shows as failed in its
// sample; the view goes on.
#pragma once

#include "loop/fan_loop.h"
#include "requests/transport.h"

#include <nlohmann/json.hpp>

namespace zerloctl {

// No faster than this between two samples: every sample is a handful of
// firmware calls, each of which holds every processor in system-management
// mode while the BIOS works; the floor keeps a live view from becoming a
// load of its own. The monitor and the fan loop keep to it too.
constexpr double kWatchFloorSeconds = kLeastPollSeconds;

struct WatchOptions {
    double intervalSeconds = 1;
    unsigned count = 0; // 0: until stopped
    unsigned sensors = 4;
    bool sio = false;
    double timeScale = 1;
};

// Returns the exit code.
int RunWatch(Transport& transport, bool asJson, const WatchOptions& options);
// The requests of one sample, as the JSON object `watch --json` prints, for
// other programs that show what `watch` shows.
nlohmann::json WatchSampleJson(Transport& transport, const WatchOptions& options, LoopClock& clock);

} // namespace zerloctl
