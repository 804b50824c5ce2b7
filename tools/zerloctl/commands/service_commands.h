// Windows only: installing, starting, stopping and removing the driver's
// service and the fan loop's, and the service's own entry point. They need
// no device: the driver may not exist yet.
#pragma once

#include "cli.h"

namespace zerloctl {

void AddServiceCommands(Cli& cli);

} // namespace zerloctl
