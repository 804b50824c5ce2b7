// One sample of `watch`, for other programs that show what `watch` shows.
#pragma once

#include "loop_support.h"

#include <nlohmann/json.hpp>

namespace zerloctl {

// The requests of one sample, as the JSON object `watch --json` prints.
nlohmann::json WatchSampleJson(Transport& transport, const WatchOptions& options, LoopClock& clock);

} // namespace zerloctl
