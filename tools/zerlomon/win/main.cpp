// zerlomon.exe: Zerlo's face on Windows, a window and a notification-area
// icon over the driver, or over a recording of `zerloctl --json watch`.
//   zerlomon [--replay FILE] [--config FILE] [--interval SECONDS] [--sensors N] [--self-check FILE]
#include "input/user_number.h"
#include "monitor_window.h"
#include "service_control.h"

#include <cstdlib>
#include <string>
#include <windows.h>

namespace {

using namespace zerlomon;

const char kUsage[] = "usage: zerlomon [--replay FILE] [--config FILE] [--interval SECONDS] [--sensors N] "
                      "[--self-check FILE]";

// Where the owner sees it: the console that started the program when there
// is one (a replay tried from cmd), a message box otherwise, and the
// self-check's file for the tests.
int Refuse(const std::string& message, const std::string& selfCheck)
{
    const std::string line = "zerlomon: " + message + "\n";
    DWORD written = 0;
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    const bool console = error != nullptr && error != INVALID_HANDLE_VALUE &&
                         WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (!selfCheck.empty()) {
        const HANDLE file = CreateFileA(selfCheck.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
        }
    } else if (!console) {
        MessageBoxA(nullptr, message.c_str(), "Zerlo Monitor", MB_OK | MB_ICONERROR);
    }
    return 2;
}

// The elevated half of the fan control's choices: the same action as the
// window's, carried out as an administrator.
int ServiceAction(const std::string& action)
{
    const std::unique_ptr<ServiceControl> control = MakeServiceControl();
    const ServiceResult result = CarryOut(*control, action);
    return result.ok ? 0 : result.needsAdministrator ? 4 : 1;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    MonitorOptions options;
    std::string replayPath;
    for (int i = 1; i < __argc; ++i) {
        const std::string option = __argv[i];
        const bool hasValue = i + 1 < __argc;
        const std::string value = hasValue ? __argv[i + 1] : "";
        if (option == "--service-action" && hasValue && IsServiceAction(value)) return ServiceAction(value);
        if (!hasValue) return Refuse(option + ": unknown or without its value\n" + kUsage, options.selfCheckPath);
        ++i;
        char* end = nullptr;
        if (option == "--replay") {
            replayPath = value;
        } else if (option == "--config") {
            options.configPath = value;
        } else if (option == "--self-check") {
            options.selfCheckPath = value;
        } else if (option == "--interval") {
            if (const std::string problem = zerloctl::NumberProblem(value, 0, 86400, &options.interval);
                !problem.empty())
                return Refuse("--interval: " + problem + " (seconds; at least " +
                                  zerloctl::ShowNumber(kWatchFloorSeconds) + " is used)",
                              options.selfCheckPath);
        } else if (option == "--sensors") {
            options.sensors = static_cast<unsigned>(std::strtoul(value.c_str(), &end, 10));
            if (*end != '\0' || value.empty() || options.sensors > 256)
                return Refuse("--sensors " + value + ": 0 to 256", options.selfCheckPath);
        } else {
            return Refuse(option + ": unknown option\n" + kUsage, options.selfCheckPath);
        }
    }
    if (!replayPath.empty()) {
        try {
            options.replay = ReadRecordingFile(replayPath);
        } catch (const ReplayError& error) {
            return Refuse(error.what(), options.selfCheckPath);
        }
        const size_t slash = replayPath.find_last_of("\\/");
        options.replayName = slash == std::string::npos ? replayPath : replayPath.substr(slash + 1);
    }
    // One monitor per user session: a second start shows the first.
    CreateMutexA(nullptr, FALSE, "Local\\ZerloMonitor");
    if (GetLastError() == ERROR_ALREADY_EXISTS && options.selfCheckPath.empty() && !options.replay) {
        if (const HWND first = FindWindowA("ZerloMonitor", nullptr)) {
            ShowWindow(first, SW_RESTORE);
            SetForegroundWindow(first);
        }
        return 0;
    }
    return RunMonitor(instance, options, show);
}
