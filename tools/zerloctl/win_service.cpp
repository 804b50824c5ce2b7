#include "win_service.h"

#include "auto_config.h"
#include "auto_service.h"
#include "cli.h"
#include "service_log.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace zerloctl {

namespace {

const char kDriverService[] = "zerlo";
// Rooted at \SystemRoot: XP reads it so, and Wine's driver host does not
// resolve the bare relative form that `sc create` users often write.
const char kDriverImage[] = "\\SystemRoot\\system32\\drivers\\zerlo.sys";
const char kAutoService[] = "ZerloAuto";
// What ZerloAuto runs and reads, in a folder only administrators can write:
// the service runs as LocalSystem, so whoever could change these would be it.
const char kAutoFolder[] = "zerlo"; // in system32
const char kAutoExe[] = "zerloctl.exe";
const char kAutoConfig[] = "auto.json";
// Service states change within seconds on XP; an emulated CPU under Wine
// is far slower, so the wait is generous.
const DWORD kStateTimeoutMs = 120000;

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNotAdministrator = 4 };

std::string ErrorName(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case ERROR_SERVICE_EXISTS: return "ERROR_SERVICE_EXISTS";
    case ERROR_SERVICE_DOES_NOT_EXIST: return "ERROR_SERVICE_DOES_NOT_EXIST";
    case ERROR_SERVICE_ALREADY_RUNNING: return "ERROR_SERVICE_ALREADY_RUNNING";
    case ERROR_SERVICE_NOT_ACTIVE: return "ERROR_SERVICE_NOT_ACTIVE";
    case ERROR_SERVICE_MARKED_FOR_DELETE: return "ERROR_SERVICE_MARKED_FOR_DELETE";
    case ERROR_SERVICE_REQUEST_TIMEOUT: return "ERROR_SERVICE_REQUEST_TIMEOUT";
    case ERROR_SERVICE_DISABLED: return "ERROR_SERVICE_DISABLED";
    case ERROR_SERVICE_DEPENDENCY_FAIL: return "ERROR_SERVICE_DEPENDENCY_FAIL";
    case ERROR_BAD_EXE_FORMAT: return "ERROR_BAD_EXE_FORMAT";
    case 577: return "ERROR_INVALID_IMAGE_HASH"; // not in MinGW's headers
    case ERROR_PROC_NOT_FOUND: return "ERROR_PROC_NOT_FOUND";
    case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
    case ERROR_NO_DATA: return "ERROR_NO_DATA";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: return "ERROR_SERVICE_CANNOT_ACCEPT_CTRL";
    case ERROR_DLL_INIT_FAILED: return "ERROR_DLL_INIT_FAILED";
    case ERROR_DEPENDENT_SERVICES_RUNNING: return "ERROR_DEPENDENT_SERVICES_RUNNING";
    case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
    default: return "error " + std::to_string(error);
    }
}

[[noreturn]] void Finish(int code, const std::string& message)
{
    if (!message.empty())
        (code == kOk ? std::cout : std::cerr) << (code == kOk ? "" : "zerloctl: ") << message << std::endl;
    std::exit(code);
}

// Unknown (the check itself failing) counts as one: the message must not
// send an administrator looking for rights they have.
bool IsAdministrator()
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators)) {
        return true;
    }
    BOOL member = TRUE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = TRUE;
    FreeSid(administrators);
    return member != FALSE;
}

// Access is denied to administrators too (a file's attributes, a folder's
// rights): only a process outside Administrators is told to become one.
[[noreturn]] void FailWith(const std::string& what, DWORD error = GetLastError())
{
    if (error == ERROR_ACCESS_DENIED && !IsAdministrator()) {
        Finish(kNotAdministrator, what + ": ERROR_ACCESS_DENIED (run as an administrator)");
    }
    Finish(kFailed, what + ": " + ErrorName(error));
}

struct ScHandle {
    SC_HANDLE handle = nullptr;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle()
    {
        if (handle) CloseServiceHandle(handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

SC_HANDLE OpenManager(DWORD access)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
    if (!manager) FailWith("cannot reach the service control manager");
    return manager;
}

// Null when the service is not installed.
SC_HANDLE OpenNamedService(const ScHandle& manager, const char* name, DWORD access)
{
    SC_HANDLE service = OpenServiceA(manager.handle, name, access);
    if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) FailWith(std::string("opening ") + name);
    return service;
}

SERVICE_STATUS QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status)) FailWith("querying the service");
    return status;
}

DWORD CurrentState(SC_HANDLE service, DWORD* exitCode = nullptr)
{
    const SERVICE_STATUS status = QueryStatus(service);
    if (exitCode) *exitCode = status.dwWin32ExitCode;
    return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD* exitCode)
{
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD state = CurrentState(service, exitCode);
        if (state == wanted) return true;
        if (state == SERVICE_STOPPED || GetTickCount() - start > kStateTimeoutMs) return false;
        Sleep(100);
    }
}

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    default: return "in transition";
    }
}

std::string BinaryPath(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::string buffer(needed + 1, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service, config, needed, &needed)) FailWith("reading the service's configuration");
    return config->lpBinaryPathName ? config->lpBinaryPathName : "";
}

std::string ModulePath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

std::string ModuleDirectory()
{
    const std::string path = ModulePath();
    return path.substr(0, path.find_last_of("\\/") + 1);
}

bool SamePath(const std::string& a, const std::string& b)
{
    return _stricmp(a.c_str(), b.c_str()) == 0;
}

std::string SystemDirectory()
{
    char root[MAX_PATH];
    GetSystemDirectoryA(root, MAX_PATH);
    return root;
}

std::string DriverFileTarget()
{
    return SystemDirectory() + "\\drivers\\zerlo.sys";
}

std::string AutoFolder()
{
    return SystemDirectory() + "\\" + kAutoFolder;
}

// Files copied from a CD are read-only, and CopyFile keeps that: a copy that
// stayed so could be neither replaced nor deleted, even by an administrator.
bool CopyWritable(const std::string& source, const std::string& target)
{
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) return false;
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    return rest == attributes || SetFileAttributesA(target.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL);
}

// True also when there was nothing to delete.
bool DeleteEvenReadOnly(const std::string& file)
{
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

UINT DriveTypeOf(const std::string& path)
{
    char root[MAX_PATH];
    if (!GetVolumePathNameA(path.c_str(), root, MAX_PATH)) return DRIVE_UNKNOWN;
    return GetDriveTypeA(root);
}

int StartNamedService(const char* name)
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    ScHandle service(OpenNamedService(manager, name, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service.handle) Finish(kFailed, std::string(name) + " is not installed");
    if (!StartServiceA(service.handle, 0, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) Finish(kFailed, std::string(name) + " is already running");
        FailWith(std::string(name) + " did not start", error);
    }
    DWORD exitCode = 0;
    if (!WaitForState(service.handle, SERVICE_RUNNING, &exitCode)) {
        FailWith(std::string(name) + " did not start", exitCode ? exitCode : ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    Finish(kOk, std::string(name) + ": running");
}

// Returns whether it was running; ends the process on failure.
bool StopIfRunning(SC_HANDLE service, const char* name)
{
    if (CurrentState(service) == SERVICE_STOPPED) return false;
    SERVICE_STATUS status;
    // Under Wine a refused stop control (ERROR_NO_DATA, then
    // ERROR_SERVICE_CANNOT_ACCEPT_CTRL) was seen while the stop was already
    // under way: the refusal counts only if the service does not stop.
    const DWORD refusal = ControlService(service, SERVICE_CONTROL_STOP, &status) ? NO_ERROR : GetLastError();
    // A dependent that started since it was looked for, or one not of ours:
    // nothing will stop.
    if (refusal == ERROR_DEPENDENT_SERVICES_RUNNING) FailWith(std::string(name) + " did not stop", refusal);
    DWORD exitCode = 0;
    if (!WaitForState(service, SERVICE_STOPPED, &exitCode)) {
        FailWith(std::string(name) + " did not stop", refusal != NO_ERROR ? refusal : ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    return true;
}

// Stopping the driver under a running fan loop would leave the fans as
// they happen to be: the user stops the loop, knowing it, or nothing stops.
// ZerloAuto is asked by name: Wine lists no service's dependents.
void RefuseWhileAutoNeedsDriver(const ScHandle& manager, bool removing)
{
    ScHandle dependent(OpenNamedService(manager, kAutoService, SERVICE_QUERY_STATUS));
    if (!dependent.handle) return;
    // Without the driver ZerloAuto would fail at every start.
    if (removing) Finish(kFailed, "ZerloAuto depends on zerlo: remove it first (zerloctl uninstall-auto)");
    if (CurrentState(dependent.handle) != SERVICE_STOPPED) {
        Finish(kFailed, "ZerloAuto depends on zerlo and runs: stop it first (zerloctl stop-auto)");
    }
}

int StopNamedService(const char* name)
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    ScHandle service(OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service.handle) Finish(kFailed, std::string(name) + " is not installed");
    if (CurrentState(service.handle) == SERVICE_STOPPED) Finish(kFailed, std::string(name) + " is not running");
    if (std::string(name) == kDriverService) RefuseWhileAutoNeedsDriver(manager, false);
    StopIfRunning(service.handle, name);
    Finish(kOk, std::string(name) + ": stopped");
}

// The process that ran `file` may still be ending after its service stopped.
bool DeleteWhenFree(const std::string& file)
{
    const DWORD start = GetTickCount();
    while (!DeleteEvenReadOnly(file)) {
        if (GetTickCount() - start > kStateTimeoutMs) return false;
        Sleep(100);
    }
    return true;
}

void RemoveService(const char* name, const std::vector<std::string>& files)
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    ScHandle service(OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.handle) Finish(kFailed, std::string(name) + " is not installed");
    if (std::string(name) == kDriverService) RefuseWhileAutoNeedsDriver(manager, true);
    StopIfRunning(service.handle, name);
    if (!DeleteService(service.handle)) FailWith(std::string("deleting ") + name);
    std::string later;
    for (const std::string& file : files) {
        // The installed zerloctl.exe may be what runs this command.
        if (SamePath(file, ModulePath()) && MoveFileExA(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            later = " (" + file + " goes at the next restart: it runs this command)";
        } else if (!DeleteWhenFree(file)) {
            FailWith(name + std::string(" removed, but not ") + file);
        }
    }
    Finish(kOk, std::string(name) + ": removed" + later);
}

void InstallDriver(std::string sys)
{
    if (sys.empty()) sys = ModuleDirectory() + "zerlo.sys";
    if (GetFileAttributesA(sys.c_str()) == INVALID_FILE_ATTRIBUTES) Finish(kFailed, sys + ": no such file");
    ScHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
    ScHandle existing(OpenNamedService(manager, kDriverService, SERVICE_QUERY_CONFIG));
    if (existing.handle) {
        const std::string path = BinaryPath(existing.handle);
        if (_stricmp(path.c_str(), kDriverImage) != 0) {
            Finish(kFailed, "zerlo is already installed with another binary path: " + path);
        }
        Finish(kFailed, "zerlo is already installed (" + path + ")");
    }
    const std::string target = DriverFileTarget();
    if (!CopyWritable(sys, target)) FailWith("copying " + sys + " to " + target);
    ScHandle service(CreateServiceA(manager.handle, kDriverService, kDriverService, SERVICE_ALL_ACCESS,
                                    SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, kDriverImage,
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.handle) FailWith("creating the zerlo service");
    Finish(kOk, "zerlo: installed (" + target + ", demand start)");
}

std::string AutoConfigTarget()
{
    return AutoFolder() + "\\" + kAutoConfig;
}

// Why ZerloAuto stopped, "" after a plain stop. The service writes its
// reason to its log before it reports the stop; the manager keeps a code.
std::string AutoStopReason(const SERVICE_STATUS& status)
{
    if (status.dwWin32ExitCode == NO_ERROR) return "";
    if (status.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR) return ErrorName(status.dwWin32ExitCode);
    const std::string line = LastLogLine(ServiceLogPath(AutoConfigTarget()));
    return line.empty() ? "service-specific error " + std::to_string(status.dwServiceSpecificExitCode)
                        : "its log ends: " + line;
}

void ServiceStatus()
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    for (const char* name : {kDriverService, kAutoService}) {
        ScHandle service(OpenNamedService(manager, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        if (!service.handle) {
            std::cout << name << ": not installed\n";
            continue;
        }
        const SERVICE_STATUS status = QueryStatus(service.handle);
        std::cout << name << ": " << StateName(status.dwCurrentState) << " (" << BinaryPath(service.handle) << ")\n";
        const std::string reason =
            name == kAutoService && status.dwCurrentState == SERVICE_STOPPED ? AutoStopReason(status) : "";
        if (!reason.empty()) std::cout << "  stopped after a failure; " << reason << "\n";
    }
    Finish(kOk, "");
}

void StartAuto()
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    // Not every service manager starts a dependency itself (Wine's does not).
    ScHandle driver(OpenNamedService(manager, kDriverService, SERVICE_START));
    if (driver.handle) StartServiceA(driver.handle, 0, nullptr);
    ScHandle service(OpenNamedService(manager, kAutoService, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service.handle) Finish(kFailed, "ZerloAuto is not installed");
    if (!StartServiceA(service.handle, 0, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) Finish(kFailed, "ZerloAuto is already running");
        FailWith("ZerloAuto did not start", error);
    }
    // Running is reported once the configuration is loaded and checked.
    DWORD exitCode = 0;
    if (WaitForState(service.handle, SERVICE_RUNNING, &exitCode)) Finish(kOk, "ZerloAuto: running");
    const SERVICE_STATUS status = QueryStatus(service.handle);
    if (status.dwCurrentState != SERVICE_STOPPED) FailWith("ZerloAuto did not start", ERROR_SERVICE_REQUEST_TIMEOUT);
    const std::string reason = AutoStopReason(status);
    Finish(kFailed, "ZerloAuto stopped at its start" + (reason.empty() ? "" : "; " + reason));
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

void InstallAuto(const std::string& configPath)
{
    char full[MAX_PATH];
    if (!GetFullPathNameA(configPath.c_str(), MAX_PATH, full, nullptr)) FailWith("resolving " + configPath);
    if (DriveTypeOf(full) == DRIVE_REMOTE) {
        Finish(kFailed, std::string(full) + " is on a network drive: copy it to a local disk first");
    }
    try {
        LoadAutoConfig(full);
    } catch (const ConfigError& error) {
        Finish(kUsage, error.what());
    }
    ScHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
    {
        ScHandle existing(OpenNamedService(manager, kAutoService, SERVICE_QUERY_STATUS));
        if (existing.handle) Finish(kFailed, "ZerloAuto is already installed");
    }
    const std::string folder = AutoFolder();
    if (DriveTypeOf(folder) != DRIVE_FIXED) Finish(kFailed, folder + " is not on a local fixed disk");
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
    std::cout << "ZerloAuto: installed in " << folder << " (auto start; log: " << ServiceLogPath(config) << ")"
              << std::endl;
    StartAuto();
}

} // namespace

void RegisterServiceCommands(CLI::App& app)
{
    static std::string sysPath, configPath, serviceConfig;
    auto* install = app.add_subcommand("install", "copy zerlo.sys to system32\\drivers and create its service");
    install->add_option("--sys", sysPath, "the driver file (default: zerlo.sys beside zerloctl.exe)");
    install->callback([] { InstallDriver(sysPath); });
    app.add_subcommand("start", "start the zerlo driver service")->callback([] { StartNamedService(kDriverService); });
    app.add_subcommand("stop", "stop the zerlo driver service")->callback([] { StopNamedService(kDriverService); });
    app.add_subcommand("uninstall", "stop and delete the zerlo service and its file")->callback([] {
        RemoveService(kDriverService, {DriverFileTarget()});
    });
    app.add_subcommand("service-status", "the zerlo and ZerloAuto services' states")->callback([] { ServiceStatus(); });
    auto* installAuto = app.add_subcommand("install-auto", "run the fan loop as an auto-start service");
    installAuto->add_option("--config", configPath, "the loop's configuration (JSON)")->required();
    installAuto->callback([] { InstallAuto(configPath); });
    app.add_subcommand("start-auto", "start the fan loop's service (after editing its configuration)")->callback([] {
        StartAuto();
    });
    app.add_subcommand("stop-auto", "stop the fan loop's service")->callback([] { StopNamedService(kAutoService); });
    app.add_subcommand("uninstall-auto", "stop and delete the fan loop's service and its files (not its log)")
        ->callback([] {
            RemoveService(kAutoService, {AutoFolder() + "\\" + kAutoExe, AutoConfigTarget()});
        });
    auto* autoService = app.add_subcommand("auto-service", "");
    autoService->group(""); // run by the service control manager, not by hand
    autoService->add_option("--config", serviceConfig, "")->required();
    autoService->callback([] { RunAutoService(serviceConfig); });
}

} // namespace zerloctl
