// The ZerloAuto service as the window shows and drives it, through the
// service code that zerloctl's service commands use.
#pragma once

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
};

std::unique_ptr<ServiceControl> MakeServiceControl();

// Runs this program again as an administrator to start or stop the service
// (XP asks for an account in its Run As dialog, later Windows through UAC).
ServiceResult RunAsAdministrator(const std::string& action);

} // namespace zerlomon
