#include "service_control.h"

#include "service_view.h"

#include "loop/presets.h"

#include "services/auto_install.h"
#include "services/auto_service.h"
#include "services/service_control.h"
#include "services/service_manager.h"

#include <algorithm>
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
    ServiceResult replaceConfig(const std::string& text) override { return Result(zerloctl::ReplaceAutoConfig(text)); }
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

InstalledConfig ReadInstalledConfig(const std::string& path)
{
    if (path.empty()) return UnreadableConfig("the service's command names no configuration");
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return UnreadableConfig("cannot open " + path + ": error " + std::to_string(GetLastError()));
    // One byte more than is read whole, so that a longer file is seen.
    std::string text(kConfigReadLimit + 1, '\0');
    DWORD read = 0;
    const bool ok = ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok) return UnreadableConfig("cannot read " + path + ": error " + std::to_string(error));
    text.resize(read);
    return JudgeConfigText(text);
}

bool IsServiceAction(const std::string& action)
{
    const std::vector<std::string> presets = zerloctl::PresetNames();
    return action == "start" || action == "stop" || std::find(presets.begin(), presets.end(), action) != presets.end();
}

ServiceResult CarryOut(ServiceControl& control, const std::string& action)
{
    if (action == "start") return control.start();
    if (action == "stop") return control.stop();
    const ServiceState state = control.query();
    if (state.state == "not installed" || state.state == "unknown") return {false, false, "ZerloAuto: " + state.state};
    const InstalledConfig config = ReadInstalledConfig(ConfigOfServiceCommand(state.command));
    if (config.preset.empty()) return {false, false, "ZerloAuto: no " + action + " preset: " + config.problem};
    if (state.state != "stopped") {
        const ServiceResult stopped = control.stop();
        if (!stopped.ok) return stopped;
    }
    const ServiceResult replaced = control.replaceConfig(PresetForInstalled(action, config));
    if (!replaced.ok) return replaced;
    ServiceResult started = control.start();
    if (started.ok) started.message = "ZerloAuto: running the " + action + " preset";
    return started;
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
    if (!info.hProcess) return {false, false, "ZerloAuto: " + action + " as an administrator: no process to wait for"};
    // The owner types a password first, then each of the manager's waits
    // may last its full time.
    const DWORD waited = WaitForSingleObject(info.hProcess, 3 * zerloctl::kStateTimeoutMs);
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    if (waited == WAIT_TIMEOUT)
        return {false, false,
                "ZerloAuto: " + action + " as an administrator: no answer within " +
                    std::to_string(3 * zerloctl::kStateTimeoutMs / 1000) + " s"};
    return {code == 0, false,
            code == 0 ? "ZerloAuto: " + action + " done as an administrator"
                      : "ZerloAuto: " + action + " as an administrator failed"};
}

} // namespace zerlomon
