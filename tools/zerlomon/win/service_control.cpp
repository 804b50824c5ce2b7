#include "service_control.h"

#include "service_view.h"

#include "services/auto_install.h"
#include "services/auto_service.h"
#include "services/service_control.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

namespace zerlomon {

namespace {

ServiceResult Result(const zerloctl::ServiceResult& result)
{
    return {result.ok(), result.exit == zerloctl::kServiceNotAdministrator, result.message};
}

// zerloctl's own service code, so that the window and the command line
// start, stop and read ZerloAuto the same way.
class ScmControl : public ServiceControl {
  public:
    ServiceState query() override
    {
        ServiceState view;
        const zerloctl::ServiceState state = zerloctl::QueryServiceState(zerloctl::kAutoService);
        if (!state.result.ok()) {
            view.state = "unknown";
            return view;
        }
        if (!state.installed) return view;
        view.state = state.stateName;
        view.command = state.command;
        view.failure = state.failure;
        const std::string configPath = ConfigOfServiceCommand(view.command);
        if (!configPath.empty()) view.logPath = zerloctl::ServiceLogPath(configPath);
        return view;
    }
    ServiceResult start() override { return Result(zerloctl::StartAutoService()); }
    ServiceResult stop() override { return Result(zerloctl::StopAutoService()); }
};

ServiceResult Failure(const std::string& what, DWORD error)
{
    return {false, error == ERROR_ACCESS_DENIED, what + ": error " + std::to_string(error)};
}

} // namespace

std::unique_ptr<ServiceControl> MakeServiceControl()
{
    return std::make_unique<ScmControl>();
}

ServiceResult RunAsAdministrator(const std::string& action)
{
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    const std::string parameters = "--service-action " + action;
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "runas";
    info.lpFile = exe;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExA(&info)) return Failure("ZerloAuto: no administrator", GetLastError());
    DWORD code = 1;
    if (info.hProcess) {
        WaitForSingleObject(info.hProcess, 120000);
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
    }
    return {code == 0, false,
            code == 0 ? "ZerloAuto: " + action + " sent as an administrator"
                      : "ZerloAuto: " + action + " as an administrator failed"};
}

} // namespace zerlomon
