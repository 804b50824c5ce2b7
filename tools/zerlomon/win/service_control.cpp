#include "service_control.h"

#include "service_view.h"

#include "auto_service.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

namespace zerlomon {

namespace {

const char kAutoService[] = "ZerloAuto";

class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle()
    {
        if (handle_) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

  private:
    SC_HANDLE handle_;
};

ServiceResult Failure(const std::string& what, DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) return {false, true, what + ": only an administrator may"};
    return {false, false, what + ": error " + std::to_string(error)};
}

class ScmControl : public ServiceControl {
  public:
    ServiceState query() override
    {
        ServiceState view;
        ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(manager.get()
                             ? OpenServiceA(manager.get(), kAutoService, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                             : nullptr);
        if (!service.get()) return view;
        SERVICE_STATUS status;
        view.state = !QueryServiceStatus(service.get(), &status)      ? "unknown"
                     : status.dwCurrentState == SERVICE_RUNNING       ? "running"
                     : status.dwCurrentState == SERVICE_STOPPED       ? "stopped"
                     : status.dwCurrentState == SERVICE_START_PENDING ? "starting"
                     : status.dwCurrentState == SERVICE_STOP_PENDING  ? "stopping"
                                                                      : "in transition";
        DWORD needed = 0;
        QueryServiceConfigA(service.get(), nullptr, 0, &needed);
        std::string buffer(needed + 1, '\0');
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (needed && QueryServiceConfigA(service.get(), config, needed, &needed) && config->lpBinaryPathName)
            view.command = config->lpBinaryPathName;
        const std::string configPath = ConfigOfServiceCommand(view.command);
        if (!configPath.empty()) view.logPath = zerloctl::ServiceLogPath(configPath);
        return view;
    }

    ServiceResult start() override
    {
        ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager.get()) return Failure("cannot reach the service manager", GetLastError());
        ScHandle service(OpenServiceA(manager.get(), kAutoService, SERVICE_START));
        if (!service.get()) return Failure("ZerloAuto cannot be started", GetLastError());
        if (!StartServiceA(service.get(), 0, nullptr)) return Failure("ZerloAuto did not start", GetLastError());
        return {true, false, "ZerloAuto: starting"};
    }

    ServiceResult stop() override
    {
        ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager.get()) return Failure("cannot reach the service manager", GetLastError());
        ScHandle service(OpenServiceA(manager.get(), kAutoService, SERVICE_STOP));
        if (!service.get()) return Failure("ZerloAuto cannot be stopped", GetLastError());
        SERVICE_STATUS status;
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            return Failure("ZerloAuto did not stop", GetLastError());
        return {true, false, "ZerloAuto: stopping (the fans go as its on_exit says)"};
    }
};

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
