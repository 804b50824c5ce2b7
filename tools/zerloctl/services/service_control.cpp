#include "services/service_control.h"

#include "input/user_file.h"
#include "services/auto_install.h"
#include "services/service_manager.h"

namespace zerloctl {

namespace {

// Rooted at \SystemRoot: XP reads it so, and Wine's driver host does not
// resolve the bare relative form that `sc create` users often write.
const char kDriverImage[] = "\\SystemRoot\\system32\\drivers\\zerlo.sys";

std::string DriverFileTarget()
{
    return SystemDirectory() + "\\drivers\\zerlo.sys";
}

// Stopping the driver under a running fan loop would leave the fans as
// they happen to be: the user stops the loop, knowing it, or nothing stops.
// ZerloAuto is asked by name: Wine lists no service's dependents.
void RefuseWhileAutoNeedsDriver(const ScHandle& manager, bool removing)
{
    ScHandle dependent(OpenNamedService(manager, kAutoService, SERVICE_QUERY_STATUS));
    if (!dependent.handle) return;
    // Without the driver ZerloAuto would fail at every start.
    if (removing) Fail(kServiceFailed, "ZerloAuto depends on zerlo: remove it first (zerloctl uninstall-auto)");
    if (CurrentState(dependent.handle) != SERVICE_STOPPED) {
        Fail(kServiceFailed, "ZerloAuto depends on zerlo and runs: stop it first (zerloctl stop-auto)");
    }
}

} // namespace

ServiceResult InstallDriverService(std::string sys)
{
    return Guarded([&] {
        if (sys.empty()) sys = ModuleDirectory() + "zerlo.sys";
        if (const std::string problem = RegularFileProblem(sys); !problem.empty())
            Fail(kServiceFailed, sys + ": " + problem);
        ScHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
        ScHandle existing(OpenNamedService(manager, kDriverService, SERVICE_QUERY_CONFIG));
        if (existing.handle) {
            const std::string path = BinaryPath(existing.handle);
            if (_stricmp(path.c_str(), kDriverImage) != 0) {
                Fail(kServiceFailed, "zerlo is already installed with another binary path: " + path);
            }
            Fail(kServiceFailed, "zerlo is already installed (" + path + ")");
        }
        const std::string target = DriverFileTarget();
        if (!CopyWritable(sys, target)) FailWith("copying " + sys + " to " + target);
        ScHandle service(CreateServiceA(manager.handle, kDriverService, kDriverService, SERVICE_ALL_ACCESS,
                                        SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, kDriverImage,
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!service.handle) FailWith("creating the zerlo service");
        return ServiceResult{kServiceDone, "zerlo: installed (" + target + ", demand start)"};
    });
}

ServiceResult RemoveDriverService()
{
    return RemoveServiceAndFiles(kDriverService, {DriverFileTarget()},
                                 [](const ScHandle& manager) { RefuseWhileAutoNeedsDriver(manager, true); });
}

ServiceResult StartNamedService(const char* name)
{
    return Guarded([&] {
        ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        ScHandle service(OpenNamedService(manager, name, SERVICE_START | SERVICE_QUERY_STATUS));
        if (!service.handle) Fail(kServiceFailed, std::string(name) + " is not installed");
        if (!StartServiceA(service.handle, 0, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_ALREADY_RUNNING) Fail(kServiceFailed, std::string(name) + " is already running");
            FailWith(std::string(name) + " did not start", error);
        }
        DWORD exitCode = 0;
        if (!WaitForState(service.handle, SERVICE_RUNNING, &exitCode)) {
            FailWith(std::string(name) + " did not start", exitCode ? exitCode : ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        return ServiceResult{kServiceDone, std::string(name) + ": running"};
    });
}

ServiceResult StopNamedService(const char* name)
{
    return Guarded([&] {
        ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        ScHandle service(OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (!service.handle) Fail(kServiceFailed, std::string(name) + " is not installed");
        if (CurrentState(service.handle) == SERVICE_STOPPED)
            Fail(kServiceFailed, std::string(name) + " is not running");
        if (std::string(name) == kDriverService) RefuseWhileAutoNeedsDriver(manager, false);
        StopIfRunning(service.handle, name);
        return ServiceResult{kServiceDone, std::string(name) + ": stopped"};
    });
}

ServiceState QueryServiceState(const char* name)
{
    ServiceState state;
    state.result = Guarded([&] {
        ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        ScHandle service(OpenNamedService(manager, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        if (!service.handle) return ServiceResult{};
        const SERVICE_STATUS status = QueryStatus(service.handle);
        state.installed = true;
        state.state = status.dwCurrentState;
        state.stateName = StateName(status.dwCurrentState);
        state.command = BinaryPath(service.handle);
        if (std::string(name) == kAutoService && status.dwCurrentState == SERVICE_STOPPED)
            state.failure = AutoStopReason(status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
        return ServiceResult{};
    });
    return state;
}

std::string DescribeServiceState(const char* name, const ServiceState& state)
{
    if (!state.installed) return std::string(name) + ": not installed";
    std::string text = std::string(name) + ": " + state.stateName + " (" + state.command + ")";
    if (!state.failure.empty()) text += "\n  stopped after a failure; " + state.failure;
    return text;
}

} // namespace zerloctl
