// The ZerloAuto service as the window shows and drives it, through the
// service code that zerloctl's service commands use.
#pragma once

#include "fan_control_menu.h"

#include <memory>
#include <string>

namespace zerlomon {

struct ServiceState {
    std::string state = "not installed"; // or running, stopped, starting, stopping
    std::string command;                 // the service's command line
    std::string logPath;                 // empty when the command names no configuration
    std::string failure;                 // stopped: why, when a failure stopped it
};

struct ServiceResult {
    bool ok = false;
    bool needsAdministrator = false;
    std::string message;
};

class ServiceControl {
  public:
    virtual ~ServiceControl() = default;
    virtual ServiceState query() = 0;
    virtual ServiceResult start() = 0;
    virtual ServiceResult stop() = 0;
    // The installed service's configuration file; does not restart it.
    virtual ServiceResult replaceConfig(const std::string& text) = 0;
};

std::unique_ptr<ServiceControl> MakeServiceControl();

// The configuration file a service command names, judged against the
// presets; read by the user who runs the monitor, whom its folder lets read.
InstalledConfig ReadInstalledConfig(const std::string& path);

// The actions of the start/stop choices and of the fan control: "start",
// "stop", or a preset's name: the service stopped, given that preset made
// for the fans and sensors its configuration names, and started again.
bool IsServiceAction(const std::string& action);
ServiceResult CarryOut(ServiceControl& control, const std::string& action);

// Runs this program again as an administrator to carry out the action
// (XP asks for an account in its Run As dialog, later Windows through UAC),
// and waits for it as long as the service manager's own waits last.
ServiceResult RunAsAdministrator(const std::string& action);

} // namespace zerlomon
