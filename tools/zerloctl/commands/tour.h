// `zerloctl tour`: a guided look at everything the driver answers, on the
// notebook at hand.
#pragma once

#include "cli.h"

namespace zerloctl {

void AddTourCommand(Cli& cli);

} // namespace zerloctl
