// Which clock a command that runs over time goes by: the simulated
// machine's on Linux, where waiting advances it, else the real one.
#pragma once

#include "clock/loop_clock.h"
#include "requests/transport.h"

#include <memory>

namespace zerloctl {

// On the simulated machine waiting advances its clock; `timeScale` is
// simulated seconds per real second there (0: no real waiting at all).
std::unique_ptr<LoopClock> MakeLoopClock(Transport& transport, double timeScale);
// The real clock; a recheck request ends its waits early.
std::unique_ptr<LoopClock> MakeRealClock();

} // namespace zerloctl
