// Windows only: what the service functions share. A failure deep in a step
// throws ServiceFailure, which each public function (Guarded) turns into
// its result; and the service manager's handles, waits and names, and the
// file operations of installing and removing.
#pragma once

#include "services/service_control.h"

#include <functional>
#include <string>
#include <vector>
#include <windows.h>

namespace zerloctl {

// Service states change within seconds on XP; an emulated CPU under Wine
// is far slower, so the waits are generous.
constexpr DWORD kStateTimeoutMs = 120000;

struct ServiceFailure {
    ServiceResult result;
};

[[noreturn]] void Fail(int exit, const std::string& message);
// `what` failed with `error`; a process outside Administrators denied
// access is told to become one.
[[noreturn]] void FailWith(const std::string& what, DWORD error = GetLastError());
ServiceResult Guarded(const std::function<ServiceResult()>& body);

std::string ErrorName(DWORD error);

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

SC_HANDLE OpenManager(DWORD access);
// Null when the service is not installed.
SC_HANDLE OpenNamedService(const ScHandle& manager, const char* name, DWORD access);
SERVICE_STATUS QueryStatus(SC_HANDLE service);
DWORD CurrentState(SC_HANDLE service, DWORD* exitCode = nullptr);
// False when the service stopped instead, or the wait timed out.
bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD* exitCode);
const char* StateName(DWORD state);
std::string BinaryPath(SC_HANDLE service);
// Returns whether it was running.
bool StopIfRunning(SC_HANDLE service, const char* name);
// Stops and deletes the service, then deletes its files; `check` runs once
// the service is known to be installed, before anything is stopped.
ServiceResult RemoveServiceAndFiles(const char* name, const std::vector<std::string>& files,
                                    const std::function<void(const ScHandle& manager)>& check = {});

std::string ModulePath();
std::string ModuleDirectory();
bool SamePath(const std::string& a, const std::string& b);
std::string SystemDirectory();
// A copy that is not read-only, whatever the source was.
bool CopyWritable(const std::string& source, const std::string& target);
UINT DriveTypeOf(const std::string& path);

} // namespace zerloctl
