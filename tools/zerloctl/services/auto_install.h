// Windows only: the fan loop as the auto-start service ZerloAuto, which runs
// a copy of zerloctl.exe and its configuration from a folder in system32
// that only administrators and the system may change. Results as in
// service_control.h.
#pragma once

#include "services/service_control.h"

#include <string>

namespace zerloctl {

// Checks the configuration, copies the program and it into the folder and
// registers the service; does not start it.
ServiceResult InstallAutoService(const std::string& configPath);
// Starts ZerloAuto (and the driver, which not every manager starts for it)
// and waits until it runs, or reports why it stopped at its start.
ServiceResult StartAutoService();
// A stop after which the service reports a failure (a fan it could not
// set high) is a failure too, with its reason.
ServiceResult StopAutoService();
// Replaces the installed service's configuration with `text`, checked as
// an installed one is; neither stops nor starts the service.
ServiceResult ReplaceAutoConfig(const std::string& text);
// Stops and deletes the service, its program and its configuration; the
// log stays.
ServiceResult RemoveAutoService();

// Why ZerloAuto stopped, from its exit codes as the manager keeps them and
// the last line of its log; "" after a plain stop.
std::string AutoStopReason(unsigned long win32ExitCode, unsigned long serviceExitCode);

} // namespace zerloctl
