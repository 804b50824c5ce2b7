// The commands that run over time: `watch` (a live view) and `auto` (the
// fan loop), on the device the other commands share.
#pragma once

#include "cli.h"

namespace zerloctl {

void AddLoopCommands(Cli& cli);

} // namespace zerloctl
