#include "loop/loop_support.h"

#include "loop/loop_clock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zerloctl {

namespace {

std::atomic<int> g_stop{0};
std::atomic<bool> g_stopped{false};
std::atomic<bool> g_recheck{false};

class SimulatedClock : public LoopClock {
  public:
    SimulatedClock(Transport& transport, double timeScale)
        : transport_(transport), timeScale_(timeScale), real_(MakeSystemTicks(), [] { return std::string(); })
    {
    }
    double now() override { return static_cast<double>(transport_.simulatedClockMs()) / 1000.0; }
    void sleep(double seconds, const std::atomic<int>& stop) override
    {
        transport_.advanceSimulatedClock(static_cast<uint64_t>(seconds * 1000.0 + 0.5));
        if (timeScale_ > 0) real_.sleep(seconds / timeScale_, stop);
    }
    std::string stamp() override
    {
        const uint64_t seconds = transport_.simulatedClockMs() / 1000;
        char text[40];
        std::snprintf(text, sizeof text, "sim %02llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
        return text;
    }

  private:
    Transport& transport_;
    double timeScale_;
    TickClock real_; // paces the simulated time
};

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

std::unique_ptr<LoopClock> MakeRealClock()
{
    return std::make_unique<TickClock>(
        MakeSystemTicks(), [] { return WallStamp(std::time(nullptr)); }, [] { return g_recheck.load(); });
}

std::unique_ptr<LoopClock> MakeLoopClock(Transport& transport, double timeScale)
{
    if (transport.hasSimulatedClock()) return std::make_unique<SimulatedClock>(transport, timeScale);
    return MakeRealClock();
}

bool WriteStdoutLine(const std::string& line)
{
#if defined(_WIN32)
    // stdio in text mode wrote CR LF: a file or pipe gets the same.
    const std::string bytes = line + "\r\n";
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
#else
    const std::string bytes = line + "\n";
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
#endif
    return true;
}

void IgnoreBrokenPipe()
{
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool StdoutIsTerminal()
{
#if defined(_WIN32)
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

} // namespace zerloctl
