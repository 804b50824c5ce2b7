// Windows only: installing zerlo.sys as a kernel-driver service, and the fan
// loop as a service of its own, through the service control manager.
#pragma once

#include <CLI/CLI.hpp>

namespace zerloctl {

// These commands run alone and end the process with their exit code: they
// work before the driver exists, so they cannot wait for the device to open.
void RegisterServiceCommands(CLI::App& app);

} // namespace zerloctl
