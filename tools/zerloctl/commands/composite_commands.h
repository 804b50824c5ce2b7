// The commands that are not one request each: `status` (what a fan-control
// utility polls), `ioctl` (any raw request) and `handles` (several callers
// at once).
#pragma once

#include "cli.h"

#include <cstdint>

namespace zerloctl {

void AddCompositeCommands(Cli& cli);
// Both fans, sensors 0 to sensors-1 and, with `sio`, the Super-I/O levels;
// returns the exit code.
int ShowStatus(Context& c, uint16_t sensors, bool sio);

} // namespace zerloctl
