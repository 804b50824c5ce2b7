// `zerloctl watch`: fans, sensors and optionally the Super-I/O levels,
// sampled until Ctrl-C or --count. A failed item shows as failed in its
// sample; the view goes on.
#pragma once

#include "requests/transport.h"
#include "sample/take_sample.h"

namespace zerloctl {

struct WatchOptions {
    double intervalSeconds = 1;
    unsigned count = 0; // 0: until stopped
    SamplePlan plan;
    double timeScale = 1;
};

// Returns the exit code.
int RunWatch(Transport& transport, bool asJson, const WatchOptions& options);

} // namespace zerloctl
