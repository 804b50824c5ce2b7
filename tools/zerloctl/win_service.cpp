#include "win_service.h"

#include "auto_config.h"
#include "cli.h"
#include "fan_loop.h"
#include "loop_support.h"
#include "transport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <windows.h>

namespace zerloctl {

namespace {

const char kDriverService[] = "zerlo";
// Rooted at \SystemRoot: XP reads it so, and Wine's driver host does not
// resolve the bare relative form that `sc create` users often write.
const char kDriverImage[] = "\\SystemRoot\\system32\\drivers\\zerlo.sys";
const char kAutoService[] = "ZerloAuto";
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
    default: return "error " + std::to_string(error);
    }
}

[[noreturn]] void Finish(int code, const std::string& message)
{
    if (!message.empty())
        (code == kOk ? std::cout : std::cerr) << (code == kOk ? "" : "zerloctl: ") << message << std::endl;
    std::exit(code);
}

[[noreturn]] void FailWith(const std::string& what, DWORD error = GetLastError())
{
    Finish(error == ERROR_ACCESS_DENIED ? kNotAdministrator : kFailed,
           what + ": " + ErrorName(error) + (error == ERROR_ACCESS_DENIED ? " (run as an administrator)" : ""));
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

DWORD CurrentState(SC_HANDLE service, DWORD* exitCode = nullptr)
{
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status)) FailWith("querying the service");
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

std::string ModuleDirectory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    return text.substr(0, text.find_last_of("\\/") + 1);
}

std::string DriverFileTarget()
{
    char root[MAX_PATH];
    GetSystemDirectoryA(root, MAX_PATH);
    return std::string(root) + "\\drivers\\zerlo.sys";
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
    DWORD exitCode = 0;
    if (!WaitForState(service, SERVICE_STOPPED, &exitCode)) {
        FailWith(std::string(name) + " did not stop", refusal != NO_ERROR ? refusal : ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    return true;
}

int StopNamedService(const char* name)
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    ScHandle service(OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service.handle) Finish(kFailed, std::string(name) + " is not installed");
    if (!StopIfRunning(service.handle, name)) Finish(kFailed, std::string(name) + " is not running");
    Finish(kOk, std::string(name) + ": stopped");
}

void RemoveService(const char* name, const std::string& file)
{
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
    ScHandle service(OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.handle) Finish(kFailed, std::string(name) + " is not installed");
    StopIfRunning(service.handle, name);
    if (!DeleteService(service.handle)) FailWith(std::string("deleting ") + name);
    if (!file.empty() && !DeleteFileA(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        FailWith(name + std::string(" removed, but not ") + file);
    }
    Finish(kOk, std::string(name) + ": removed");
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
    if (!CopyFileA(sys.c_str(), target.c_str(), FALSE)) FailWith("copying " + sys + " to " + target);
    ScHandle service(CreateServiceA(manager.handle, kDriverService, kDriverService, SERVICE_ALL_ACCESS,
                                    SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, kDriverImage,
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.handle) FailWith("creating the zerlo service");
    Finish(kOk, "zerlo: installed (" + target + ", demand start)");
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
        std::cout << name << ": " << StateName(CurrentState(service.handle)) << " (" << BinaryPath(service.handle)
                  << ")\n";
    }
    Finish(kOk, "");
}

void InstallAuto(const std::string& configPath)
{
    char full[MAX_PATH];
    if (!GetFullPathNameA(configPath.c_str(), MAX_PATH, full, nullptr)) FailWith("resolving " + configPath);
    try {
        LoadAutoConfig(full);
    } catch (const ConfigError& error) {
        Finish(kUsage, error.what());
    }
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    const std::string command = std::string("\"") + exe + "\" auto-service --config \"" + full + "\"";
    ScHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
    // The loop needs the driver: the manager starts it first.
    static const char kDependencies[] = "zerlo\0";
    ScHandle service(CreateServiceA(manager.handle, kAutoService, "Zerlo fan loop", SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                    command.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr));
    if (!service.handle) {
        if (GetLastError() == ERROR_SERVICE_EXISTS) Finish(kFailed, "ZerloAuto is already installed");
        FailWith("creating the ZerloAuto service");
    }
    std::cout << "ZerloAuto: installed (auto start; log: " << full << ".log)" << std::endl;
    // Not every service manager starts a dependency itself (Wine's does not).
    ScHandle driver(OpenNamedService(manager, kDriverService, SERVICE_START));
    if (driver.handle) StartServiceA(driver.handle, 0, nullptr);
    StartNamedService(kAutoService);
}

// --- the fan loop as a service ---

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
std::string g_serviceConfig;

void ReportState(DWORD state, DWORD exitCode = NO_ERROR)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING ? 0 : 10000;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        ReportState(SERVICE_STOP_PENDING);
        RequestStop(kServiceStop);
    }
    return NO_ERROR;
}

// A failed poll (Wine runs the driver where port instructions fault) is
// logged and the loop goes on; so is a device that cannot be opened yet.
void WINAPI AutoServiceMain(DWORD, char**)
{
    g_statusHandle = RegisterServiceCtrlHandlerExA(kAutoService, OnServiceControl, nullptr);
    if (!g_statusHandle) return;
    ReportState(SERVICE_RUNNING);
    std::ofstream log(g_serviceConfig + ".log", std::ios::app);
    auto write = [&](const std::string& line) { log << line << std::endl; };
    try {
        const AutoConfig config = LoadAutoConfig(g_serviceConfig);
        const std::unique_ptr<LoopClock> clock = MakeRealClock();
        const std::unique_ptr<Platform> platform = MakePlatform();
        Transport* transport = nullptr;
        while (transport == nullptr && StopRequest().load() == 0) {
            try {
                transport = &platform->open(false);
            } catch (const std::exception& error) {
                write(clock->stamp() + " " + error.what() + "; trying again");
                clock->sleep(config.pollSeconds, StopRequest());
            }
        }
        if (transport != nullptr) {
            DriverFanIo io(*transport);
            FanLoop loop(config, io, *clock, [&](const LoopEvent& event) { write(FormatLoopEvent(event)); });
            loop.run(StopRequest(), StopName, TakeRecheckRequest);
        } else {
            // The loop logs its own stop; without it the log would end in
            // the last failed open, as a crash would leave it.
            write(clock->stamp() + " stopping: " + StopName(StopRequest().load()) + " before the device opened");
        }
        ReportState(SERVICE_STOPPED);
    } catch (const std::exception& error) {
        write(std::string("stopped: ") + error.what());
        ReportState(SERVICE_STOPPED, ERROR_GEN_FAILURE);
    }
}

void RunAutoService(const std::string& configPath)
{
    g_serviceConfig = configPath;
    static char name[] = "ZerloAuto";
    const SERVICE_TABLE_ENTRYA table[] = {{name, AutoServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) FailWith("auto-service runs only under the service control manager");
    std::exit(kOk);
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
        RemoveService(kDriverService, DriverFileTarget());
    });
    app.add_subcommand("service-status", "the zerlo and ZerloAuto services' states")->callback([] { ServiceStatus(); });
    auto* installAuto = app.add_subcommand("install-auto", "run the fan loop as an auto-start service");
    installAuto->add_option("--config", configPath, "the loop's configuration (JSON)")->required();
    installAuto->callback([] { InstallAuto(configPath); });
    app.add_subcommand("uninstall-auto", "stop and delete the fan loop's service")->callback([] {
        RemoveService(kAutoService, "");
    });
    auto* autoService = app.add_subcommand("auto-service", "");
    autoService->group(""); // run by the service control manager, not by hand
    autoService->add_option("--config", serviceConfig, "")->required();
    autoService->callback([] { RunAutoService(serviceConfig); });
}

} // namespace zerloctl
