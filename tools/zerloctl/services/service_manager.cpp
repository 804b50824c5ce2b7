#include "services/service_manager.h"

namespace zerloctl {

namespace {

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

// True also when there was nothing to delete.
bool DeleteEvenReadOnly(const std::string& file)
{
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
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

} // namespace

void Fail(int exit, const std::string& message)
{
    throw ServiceFailure{{exit, message}};
}

// Access is denied to administrators too (a file's attributes, a folder's
// rights): only a process outside Administrators is told to become one.
void FailWith(const std::string& what, DWORD error)
{
    if (error == ERROR_ACCESS_DENIED && !IsAdministrator()) {
        Fail(kServiceNotAdministrator, what + ": ERROR_ACCESS_DENIED (run as an administrator)");
    }
    Fail(kServiceFailed, what + ": " + ErrorName(error));
}

ServiceResult Guarded(const std::function<ServiceResult()>& body)
{
    try {
        return body();
    } catch (const ServiceFailure& failure) {
        return failure.result;
    }
}

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

SC_HANDLE OpenManager(DWORD access)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
    if (!manager) FailWith("cannot reach the service control manager");
    return manager;
}

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

DWORD CurrentState(SC_HANDLE service, DWORD* exitCode)
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

ServiceResult RemoveServiceAndFiles(const char* name, const std::vector<std::string>& files,
                                    const std::function<void(const ScHandle& manager)>& check)
{
    return Guarded([&] {
        ScHandle manager(OpenManager(SC_MANAGER_CONNECT));
        ScHandle service(OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service.handle) Fail(kServiceFailed, std::string(name) + " is not installed");
        if (check) check(manager);
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
        return ServiceResult{kServiceDone, std::string(name) + ": removed" + later};
    });
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

UINT DriveTypeOf(const std::string& path)
{
    char root[MAX_PATH];
    if (!GetVolumePathNameA(path.c_str(), root, MAX_PATH)) return DRIVE_UNKNOWN;
    return GetDriveTypeA(root);
}

} // namespace zerloctl
