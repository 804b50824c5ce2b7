// Windows only: the fan loop run by the service control manager as the
// service ZerloAuto, with its log beside its configuration.
#pragma once

#include "services/service_control.h"

#include <string>

namespace zerloctl {

// The service's exit codes of its own (reported with
// ERROR_SERVICE_SPECIFIC_ERROR): the same meanings as `auto`'s exit codes.
// 1 is also a stop that could not leave every controlled fan high; the
// last line of the log says which.
constexpr unsigned long kServiceLoopFailed = 1;
constexpr unsigned long kServiceBadConfiguration = 2;

// "X\auto.json" logs to "X\auto.log".
std::string ServiceLogPath(const std::string& configPath);

// Runs the service until it is stopped; only the service control manager
// can start it, and run otherwise it fails at once.
ServiceResult RunAutoService(const std::string& configPath);

} // namespace zerloctl
