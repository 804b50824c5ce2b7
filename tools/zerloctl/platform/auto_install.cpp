#include "platform/auto_install.h"

#include "loop/auto_config.h"
#include "loop/service_log.h"
#include "platform/auto_service.h"
#include "platform/service_manager.h"

#include <aclapi.h>
#include <sddl.h>

namespace zerloctl {

namespace {

// What ZerloAuto runs and reads, in a folder only administrators can write:
// the service runs as LocalSystem, so whoever could change these would be it.
const char kAutoFolder[] = "zerlo"; // in system32
const char kAutoExe[] = "zerloctl.exe";
const char kAutoConfig[] = "auto.json";

std::string AutoFolder()
{
    return SystemDirectory() + "\\" + kAutoFolder;
}

std::string AutoConfigTarget()
{
    return AutoFolder() + "\\" + kAutoConfig;
}

// Only administrators and the system may change what the service runs;
// users may read the log. Nothing is inherited from system32, where XP lets
// Power Users write.
void ProtectFolder(const std::string& folder)
{
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        FailWith("creating " + folder);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        FailWith("building the rights of " + folder);
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    // Applied to what the folder already holds too.
    const DWORD error = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, dacl, nullptr);
    LocalFree(descriptor);
    if (error != ERROR_SUCCESS) FailWith("setting the rights of " + folder, error);
}

} // namespace

std::string AutoStopReason(unsigned long win32ExitCode, unsigned long serviceExitCode)
{
    if (win32ExitCode == NO_ERROR) return "";
    if (win32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR) return ErrorName(win32ExitCode);
    // The service writes its reason to its log before it reports the stop.
    const std::string line = LastLogLine(ServiceLogPath(AutoConfigTarget()));
    return line.empty() ? "service-specific error " + std::to_string(serviceExitCode) : "its log ends: " + line;
}

ServiceResult InstallAutoService(const std::string& configPath)
{
    return Guarded([&] {
        char full[MAX_PATH];
        if (!GetFullPathNameA(configPath.c_str(), MAX_PATH, full, nullptr)) FailWith("resolving " + configPath);
        if (DriveTypeOf(full) == DRIVE_REMOTE) {
            Fail(kServiceFailed, std::string(full) + " is on a network drive: copy it to a local disk first");
        }
        try {
            LoadAutoConfig(full);
        } catch (const ConfigError& error) {
            Fail(kServiceBadInput, error.what());
        }
        ScHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
        {
            ScHandle existing(OpenNamedService(manager, kAutoService, SERVICE_QUERY_STATUS));
            if (existing.handle) Fail(kServiceFailed, "ZerloAuto is already installed");
        }
        const std::string folder = AutoFolder();
        if (DriveTypeOf(folder) != DRIVE_FIXED) Fail(kServiceFailed, folder + " is not on a local fixed disk");
        ProtectFolder(folder);
        const std::string exe = folder + "\\" + kAutoExe, config = AutoConfigTarget();
        const std::string ownPath = ModulePath();
        // Run again from the installed copy, there is nothing to copy.
        if (!SamePath(ownPath, exe) && !CopyWritable(ownPath, exe)) FailWith("copying " + ownPath + " to " + exe);
        if (!SamePath(full, config) && !CopyWritable(full, config))
            FailWith(std::string("copying ") + full + " to " + config);
        const std::string command = "\"" + exe + "\" auto-service --config \"" + config + "\"";
        // The loop needs the driver: the manager starts it first.
        static const char kDependencies[] = "zerlo\0";
        ScHandle service(CreateServiceA(manager.handle, kAutoService, "Zerlo fan loop", SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                        command.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr));
        if (!service.handle) FailWith("creating the ZerloAuto service");
        // A process that ends without reporting its stop (a crash) is started
        // again after a minute, every time; a count of failures is forgotten
        // after a day without one.
        SC_ACTION restart[3] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
        SERVICE_FAILURE_ACTIONSA actions{};
        actions.dwResetPeriod = 86400;
        actions.cActions = 3;
        actions.lpsaActions = restart;
        if (!ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
            const DWORD error = GetLastError();
            DeleteService(service.handle);
            FailWith("setting ZerloAuto's restart after a failure", error);
        }
        return ServiceResult{kServiceDone, "ZerloAuto: installed in " + folder +
                                               " (auto start; log: " + ServiceLogPath(config) + ")"};
    });
}

ServiceResult StartAutoService()
{
    return Guarded([] {
        ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        // Not every service manager starts a dependency itself (Wine's does not).
        ScHandle driver(OpenNamedService(manager, kDriverService, SERVICE_START));
        if (driver.handle) StartServiceA(driver.handle, 0, nullptr);
        ScHandle service(OpenNamedService(manager, kAutoService, SERVICE_START | SERVICE_QUERY_STATUS));
        if (!service.handle) Fail(kServiceFailed, "ZerloAuto is not installed");
        if (!StartServiceA(service.handle, 0, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_ALREADY_RUNNING) Fail(kServiceFailed, "ZerloAuto is already running");
            FailWith("ZerloAuto did not start", error);
        }
        // Running is reported once the configuration is loaded and checked.
        DWORD exitCode = 0;
        if (WaitForState(service.handle, SERVICE_RUNNING, &exitCode))
            return ServiceResult{kServiceDone, "ZerloAuto: running"};
        const SERVICE_STATUS status = QueryStatus(service.handle);
        if (status.dwCurrentState != SERVICE_STOPPED)
            FailWith("ZerloAuto did not start", ERROR_SERVICE_REQUEST_TIMEOUT);
        const std::string reason = AutoStopReason(status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
        return ServiceResult{kServiceFailed, "ZerloAuto stopped at its start" + (reason.empty() ? "" : "; " + reason)};
    });
}

ServiceResult StopAutoService()
{
    const ServiceResult stopped = StopNamedService(kAutoService);
    if (!stopped.ok()) return stopped;
    return Guarded([&] {
        ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        ScHandle service(OpenNamedService(manager, kAutoService, SERVICE_QUERY_STATUS));
        if (!service.handle) return stopped;
        const SERVICE_STATUS status = QueryStatus(service.handle);
        const std::string reason = AutoStopReason(status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
        return reason.empty() ? stopped : ServiceResult{kServiceFailed, "ZerloAuto stopped after a failure; " + reason};
    });
}

ServiceResult RemoveAutoService()
{
    return RemoveServiceAndFiles(kAutoService, {AutoFolder() + "\\" + kAutoExe, AutoConfigTarget()});
}

} // namespace zerloctl
