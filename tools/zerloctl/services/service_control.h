// Windows only: zerlo.sys as the kernel-driver service `zerlo`, and the fan
// loop as the service `ZerloAuto`, through the service control manager.
//
// Each function does its work and returns what happened (an exit code and a
// message) instead of printing it or ending the process: the service
// commands of zerloctl print these results, and Zerlo Monitor starts, stops
// and reads ZerloAuto with the same functions.
#pragma once

#include <string>

namespace zerloctl {

inline constexpr char kDriverService[] = "zerlo";
inline constexpr char kAutoService[] = "ZerloAuto";

// The exit codes of the service commands.
enum ServiceExit { kServiceDone = 0, kServiceFailed = 1, kServiceBadInput = 2, kServiceNotAdministrator = 4 };

struct ServiceResult {
    int exit = kServiceDone;
    // What was done ("zerlo: running"), or what failed and why; may be empty
    // after success.
    std::string message;
    bool ok() const { return exit == kServiceDone; }
};

struct ServiceState {
    ServiceResult result; // failed: the manager could not say, and nothing below holds
    bool installed = false;
    unsigned long state = 0; // the manager's SERVICE_STOPPED, SERVICE_RUNNING, ...
    const char* stateName = "";
    std::string command; // the driver's image path, the service's command line
    std::string failure; // ZerloAuto only: why it stopped, when a failure stopped it
};

// The driver file (default: zerlo.sys beside the running program) copied to
// system32\drivers and registered to start on demand.
ServiceResult InstallDriverService(std::string sysPath);
// Refused while ZerloAuto, which needs the driver, is installed.
ServiceResult RemoveDriverService();
// Starts `zerlo` and waits until it runs (for ZerloAuto, see auto_install.h).
ServiceResult StartNamedService(const char* name);
// Stops `zerlo` (refused while ZerloAuto runs) or `ZerloAuto` and waits
// until it stopped.
ServiceResult StopNamedService(const char* name);

ServiceState QueryServiceState(const char* name);
// As `service-status` shows it: "zerlo: running (PATH)", and for a failure
// a second line with its reason.
std::string DescribeServiceState(const char* name, const ServiceState& state);

} // namespace zerloctl
