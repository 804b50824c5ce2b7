#include "console/stop_signals.h"

#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zerloctl {

namespace {

std::atomic<int> g_stop{0};
std::atomic<bool> g_stopped{false};
std::atomic<bool> g_recheck{false};

#if defined(_WIN32)
// XP ends the process when this returns for a close event, and gives it
// about five seconds: long enough for the loop to set the fans.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: g_stop = SIGINT; return TRUE;
    case CTRL_BREAK_EVENT: g_stop = SIGBREAK; return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        g_stop = kConsoleClosed;
        for (int i = 0; i < 40 && !g_stopped.load(); ++i)
            Sleep(100);
        return TRUE;
    default: return FALSE;
    }
}
#else
extern "C" void OnStopSignal(int signal)
{
    g_stop = signal;
}
#endif

} // namespace

const std::atomic<int>& StopRequest()
{
    return g_stop;
}

void InstallStopHandlers()
{
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal: the promise of a closed console holds here too.
    sigaction(SIGHUP, &action, nullptr);
#endif
}

void ResetStopRequest()
{
    g_stop = 0;
    g_stopped = false;
}

void RequestStop(int request)
{
    g_stop = request;
}

void MarkStopped()
{
    g_stopped = true;
}

void RequestRecheck()
{
    g_recheck = true;
}

bool TakeRecheckRequest()
{
    return g_recheck.exchange(false);
}

bool RecheckRequested()
{
    return g_recheck.load();
}

std::string StopName(int request)
{
    switch (request) {
    case SIGINT: return "SIGINT (Ctrl-C)";
    case SIGTERM: return "SIGTERM";
#if !defined(_WIN32)
    case SIGHUP: return "SIGHUP (terminal closed)";
#endif
#if defined(_WIN32)
    case SIGBREAK: return "Ctrl-Break";
#endif
    case kConsoleClosed: return "console closed";
    case kServiceStop: return "service stopped";
    default: return "stop request " + std::to_string(request);
    }
}

} // namespace zerloctl
