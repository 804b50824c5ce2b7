// `dump-phys`: the simulated machine's physical memory as a file. Linux only:
// only there is there a machine to read.
#pragma once

#include "cli.h"

namespace zerloctl {

void AddDumpPhysCommand(Cli& cli);

} // namespace zerloctl
