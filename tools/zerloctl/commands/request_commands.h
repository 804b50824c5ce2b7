// The driver's requests as commands, one row of a table each.
#pragma once

#include "cli.h"

#include <cstdint>
#include <string>

namespace zerloctl {

void AddRequestCommands(Cli& cli);
// A request command by name, run with the given arguments as if typed (for
// the tour); returns its exit code.
int RunRequestCommand(Context& c, const std::string& name, uint16_t word0 = 0, uint16_t word1 = 0);

} // namespace zerloctl
