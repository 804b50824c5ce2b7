// zerlosvc: installs, starts, stops and deletes a kernel-driver service
// through the service control manager, as `sc` does on Windows, but waits
// for each state change and says in its exit code whether it came.
//
//   zerlosvc start NAME IMAGE_PATH   create (or reuse) the service, start it, wait for RUNNING
//   zerlosvc stop NAME               stop the service, wait for STOPPED, delete it
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// Wine's driver host and a real XP both answer within a few seconds; an
// emulated CPU is far slower, so the wait is generous.
const DWORD kStateTimeoutMs = 300000;

int Fail(const char* what)
{
    std::fprintf(stderr, "zerlosvc: %s failed: error %lu\n", what, GetLastError());
    return 1;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, SERVICE_STATUS* status)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (!QueryServiceStatus(service, status)) return false;
        if (status->dwCurrentState == wanted) return true;
        if (status->dwCurrentState == SERVICE_STOPPED || GetTickCount() - start > kStateTimeoutMs) {
            SetLastError(status->dwWin32ExitCode ? status->dwWin32ExitCode : ERROR_SERVICE_REQUEST_TIMEOUT);
            return false;
        }
        Sleep(100);
    }
}

int Start(SC_HANDLE manager, const char* name, const char* imagePath)
{
    SC_HANDLE service =
        CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    }
    if (service == nullptr) return Fail("CreateService");
    SERVICE_STATUS status;
    if (!StartServiceA(service, 0, nullptr)) {
        const int result = Fail("StartService");
        CloseServiceHandle(service);
        return result;
    }
    if (!WaitForState(service, SERVICE_RUNNING, &status)) {
        const int result = Fail("waiting for RUNNING");
        CloseServiceHandle(service);
        return result;
    }
    std::printf("%s: running\n", name);
    CloseServiceHandle(service);
    return 0;
}

int Stop(SC_HANDLE manager, const char* name)
{
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service == nullptr) return Fail("OpenService");
    SERVICE_STATUS status;
    int result = 0;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        result = Fail("ControlService(STOP)");
    else if (!WaitForState(service, SERVICE_STOPPED, &status))
        result = Fail("waiting for STOPPED");
    else
        std::printf("%s: stopped\n", name);
    if (!DeleteService(service) && result == 0) result = Fail("DeleteService");
    CloseServiceHandle(service);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    const bool start = argc == 4 && std::strcmp(argv[1], "start") == 0;
    const bool stop = argc == 3 && std::strcmp(argv[1], "stop") == 0;
    if (!start && !stop) {
        std::fprintf(stderr, "usage: zerlosvc start NAME IMAGE_PATH | zerlosvc stop NAME\n");
        return 2;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return Fail("OpenSCManager");
    const int result = start ? Start(manager, argv[2], argv[3]) : Stop(manager, argv[2]);
    CloseServiceHandle(manager);
    std::fflush(stdout);
    return result;
}
