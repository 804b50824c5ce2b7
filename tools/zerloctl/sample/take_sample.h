// A sample read from the driver: the requests of one line of `watch`, one
// `status` and one poll of Zerlo Monitor.
#pragma once

#include "clock/loop_clock.h"
#include "requests/transport.h"
#include "sample/sample.h"

namespace zerloctl {

// No faster than this between two samples: every sample is a handful of
// firmware calls, each of which holds every processor in system-management
// mode while the BIOS works; the floor keeps a live view from becoming a
// load of its own. The monitor and the fan loop keep to it too.
constexpr double kWatchFloorSeconds = 0.5;

struct SamplePlan {
    unsigned sensors = 4;
    bool sio = false; // the Super-I/O levels: reading them probes for the chip
};

// Every fan, the planned sensors and levels; a failed item holds why.
// Unstamped.
Sample ReadSample(Transport& transport, const SamplePlan& plan);
// Stamped by `clock`: its stamp, and its seconds since `origin` (a reading
// of clock.now() when the sampling began).
Sample TakeSample(Transport& transport, const SamplePlan& plan, LoopClock& clock, double origin);

} // namespace zerloctl
