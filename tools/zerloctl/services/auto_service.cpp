#include "services/auto_service.h"

#include "clock/make_clock.h"
#include "console/stop_signals.h"
#include "loop/auto_config.h"
#include "loop/fan_loop.h"
#include "loop/log_queue.h"
#include "requests/transport.h"
#include "services/service_log.h"

#include <memory>
#include <windows.h>

namespace zerloctl {

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
std::string g_configPath;
DWORD g_checkPoint = 0;

void ReportState(DWORD state, DWORD specificExitCode = 0)
{
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT : 0;
    status.dwWin32ExitCode = specificExitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwCheckPoint = pending ? ++g_checkPoint : 0;
    status.dwWaitHint = pending ? 10000 : 0;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD eventType, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportState(SERVICE_STOP_PENDING);
        RequestStop(kServiceStop);
        return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
        // Firmware may have set the fans its own way while the machine slept.
        if (eventType == PBT_APMRESUMEAUTOMATIC || eventType == PBT_APMRESUMESUSPEND ||
            eventType == PBT_APMRESUMECRITICAL) {
            RequestRecheck();
        }
        return NO_ERROR; // also grants a query to suspend
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// How long a stopping service waits for the loop's last lines to reach
// its log: a disk that takes longer has failed, and the stop goes on.
constexpr double kLastLinesSeconds = 5;

// Returns the service-specific exit code, 0 after a stop that left every
// controlled fan as on_exit says. Every reason to end is logged here: the
// manager keeps only the code.
DWORD RunLoop(const std::shared_ptr<ServiceLog>& logFile)
{
    ServiceLog& log = *logFile;
    const std::unique_ptr<LoopClock> clock = MakeRealClock();
    auto write = [&](const std::string& text) { log.write(clock->stamp(), text); };
    AutoConfig config;
    try {
        config = LoadAutoConfig(g_configPath);
    } catch (const ConfigError& error) {
        write(std::string("stopped: bad configuration: ") + error.what());
        return kServiceBadConfiguration;
    }
    // Running only now: `install-auto` reports a configuration the service
    // cannot use as a failed start, not as a loop that runs.
    ReportState(SERVICE_RUNNING);
    // A device that cannot be opened yet is logged and tried again at the
    // next poll (Wine starts no dependency, and XP may start it late).
    const std::unique_ptr<Platform> platform = MakePlatform();
    Transport* transport = nullptr;
    while (transport == nullptr && StopRequest().load() == 0) {
        try {
            transport = &platform->open(false);
        } catch (const std::exception& error) {
            write(std::string(error.what()) + "; trying again");
            clock->sleep(config.pollSeconds, StopRequest());
            // A resume before the device opened needs nothing: the loop reads
            // every fan when it starts. Left pending, it would cut each wait.
            TakeRecheckRequest();
        }
    }
    if (transport == nullptr) {
        // The loop logs its own stop; without it the log would end in the
        // last failed open, as a crash would leave it.
        write("stopping: " + StopName(StopRequest().load()) + " before the device opened");
        return 0;
    }
    DriverFanIo io(*transport);
    // A disk that is slow to take a line must not hold a poll: the loop's
    // lines reach the file from a thread of its own, which shares the log.
    LogQueue lines([logFile](const LoopEvent& event) {
        WriteLoopEvent(*logFile, event);
        return true;
    });
    FanLoop loop(config, io, *clock, [&lines](const LoopEvent& event) { lines.push(event); });
    // run() throws nothing: whatever ends it, the fans are left as on_exit
    // says, and a resume makes it read every fan back at once.
    const bool safe = loop.run(StopRequest(), StopName, TakeRecheckRequest);
    // Until the writer is done the log is its alone.
    const bool written = lines.close(kLastLinesSeconds);
    if (safe) return 0;
    if (written) write("stopped: not every controlled fan could be set high; the fans may not be cooling");
    return kServiceLoopFailed;
}

void WINAPI AutoServiceMain(DWORD, char**)
{
    g_statusHandle = RegisterServiceCtrlHandlerExA(kAutoService, OnServiceControl, nullptr);
    if (!g_statusHandle) return;
    ReportState(SERVICE_START_PENDING);
    DWORD exitCode = kServiceLoopFailed;
    {
        // Closed, with any fold written, before the manager is told: whoever
        // waits for the stop then reads the whole log.
        const auto log = std::make_shared<ServiceLog>(ServiceLogPath(g_configPath));
        try {
            exitCode = RunLoop(log);
        } catch (const std::exception& error) {
            log->write(MakeRealClock()->stamp(), std::string("stopped: ") + error.what());
        }
    }
    ReportState(SERVICE_STOPPED, exitCode);
}

} // namespace

std::string ServiceLogPath(const std::string& configPath)
{
    const size_t name = configPath.find_last_of("\\/") + 1; // 0 when there is no folder
    const size_t dot = configPath.find_last_of('.');
    return (dot == std::string::npos || dot < name ? configPath : configPath.substr(0, dot)) + ".log";
}

ServiceResult RunAutoService(const std::string& configPath)
{
    g_configPath = configPath;
    static char name[] = "ZerloAuto";
    const SERVICE_TABLE_ENTRYA table[] = {{name, AutoServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return {kServiceFailed, "auto-service runs only under the service control manager"};
    return {};
}

} // namespace zerloctl
