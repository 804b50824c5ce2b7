#include "services/auto_install.h"

#include "loop/auto_config.h"
#include "services/auto_service.h"
#include "services/service_log.h"
#include "services/service_manager.h"

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
// Power Users write. The owner is named too: an owner may always change the
// rights, whatever they say.
const char kAutoFolderRights[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

// "DOMAIN\name" of an account, or its SID where it has no name here.
std::string AccountName(PSID sid)
{
    char name[256], domain[256];
    DWORD nameLength = sizeof name, domainLength = sizeof domain;
    SID_NAME_USE use{};
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return "an account that cannot be named";
    const std::string sidText = text;
    LocalFree(text);
    return sidText;
}

// Whether `sid` is the account this process runs as: the administrator
// who installs, who holds every right the folder guards already.
bool IsInstallingAccount(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer{};
    DWORD size = 0;
    const bool same =
        GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) && EqualSid(buffer.user.User.Sid, sid);
    CloseHandle(token);
    return same;
}

// Whoever owns the folder or a file in it can give themselves the right to
// replace the program that runs as LocalSystem: only Administrators, SYSTEM
// and the administrator installing may own them. On XP a Power User can
// create system32\zerlo first.
void RequireTrustedOwner(const std::string& path)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error =
        GetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) FailWith("reading the owner of " + path, error);
    const bool trusted = owner && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                   IsWellKnownSid(owner, WinLocalSystemSid) || IsInstallingAccount(owner));
    const std::string name = owner ? AccountName(owner) : "no one";
    LocalFree(descriptor);
    if (!trusted) {
        Fail(kServiceFailed, path + " is owned by " + name +
                                 ", not by Administrators, SYSTEM or the account installing: delete it, or make "
                                 "Administrators its owner, and install again");
    }
}

// XP makes the administrator who creates a file its owner ("object
// creator", its default), not the Administrators group the folder asks for.
void GiveToAdministrators(const std::string& path)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
        FailWith("naming the Administrators group");
    const DWORD error = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION, administrators, nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS) FailWith("making Administrators the owner of " + path, error);
}

// The folder made with its rights and owner at once, so that there is no
// moment in which it holds system32's. One that exists already is taken
// only when Administrators or SYSTEM own it and all it holds; it then gets
// the rights a new one would have.
void MakeProtectedFolder(const std::string& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kAutoFolderRights, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        FailWith("building the rights of " + folder);
    }
    struct Freer {
        PSECURITY_DESCRIPTOR descriptor;
        ~Freer() { LocalFree(descriptor); }
    } freer{descriptor};
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    if (CreateDirectoryA(folder.c_str(), &attributes)) {
        // XP takes the owner from the descriptor; Wine keeps its own unless told.
        GiveToAdministrators(folder);
        return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) FailWith("creating " + folder);
    const DWORD kind = GetFileAttributesA(folder.c_str());
    if (kind == INVALID_FILE_ATTRIBUTES) FailWith("reading " + folder);
    // A junction would lead the copies wherever its maker chose.
    if (!(kind & FILE_ATTRIBUTE_DIRECTORY) || (kind & FILE_ATTRIBUTE_REPARSE_POINT))
        Fail(kServiceFailed, folder + " exists and is not a plain folder: delete it and install again");
    RequireTrustedOwner(folder);
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) FailWith("listing " + folder);
    struct Closer {
        HANDLE search;
        ~Closer() { FindClose(search); }
    } closer{search};
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") RequireTrustedOwner(folder + "\\" + name);
    } while (FindNextFileA(search, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) FailWith("listing " + folder);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    // Applied to what the folder already holds too.
    const DWORD error = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) FailWith("setting the rights of " + folder, error);
}

// A file put in the folder is a new file: it takes the folder's rights and
// the installer's owner. Copied into an old one, it would keep that file's
// owner and rights, whoever set them.
void PutNewFile(const std::string& source, const std::string& target)
{
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileA(target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) FailWith("deleting " + target);
    // Refused should anything have taken the name since.
    if (!CopyFileA(source.c_str(), target.c_str(), TRUE)) FailWith("copying " + source + " to " + target);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    GiveToAdministrators(target);
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
        // A path that does not fit gets its length back, and `full` is left
        // as it was.
        const DWORD length = GetFullPathNameA(configPath.c_str(), MAX_PATH, full, nullptr);
        if (length == 0) FailWith("resolving " + configPath);
        if (length >= MAX_PATH) {
            Fail(kServiceBadInput,
                 configPath + ": its full path is longer than " + std::to_string(MAX_PATH - 1) + " characters");
        }
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
        MakeProtectedFolder(folder);
        const std::string exe = folder + "\\" + kAutoExe, config = AutoConfigTarget();
        const std::string ownPath = ModulePath();
        // Run again from the installed copy, there is nothing to copy.
        if (!SamePath(ownPath, exe)) PutNewFile(ownPath, exe);
        if (!SamePath(full, config)) PutNewFile(full, config);
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

ServiceResult ReplaceAutoConfig(const std::string& text)
{
    return Guarded([&] {
        // Through a file of the user's temporary folder, so that the copy in
        // the service's folder is a new file like the one installed.
        char folder[MAX_PATH + 1], path[MAX_PATH + 1];
        const DWORD length = GetTempPathA(sizeof folder, folder);
        if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "zer", 0, path) == 0)
            FailWith("making a temporary file for the configuration");
        struct Remover {
            const char* path;
            ~Remover() { DeleteFileA(path); }
        } remover{path};
        const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        const bool wrote = file != INVALID_HANDLE_VALUE &&
                           WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                           written == text.size();
        const DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (!wrote) FailWith(std::string("writing ") + path, error);
        try {
            LoadAutoConfig(path);
        } catch (const ConfigError& problem) {
            Fail(kServiceBadInput, problem.what());
        }
        // The folder is held to its owners again, as at the install: the
        // service runs as SYSTEM what this file says.
        MakeProtectedFolder(AutoFolder());
        PutNewFile(path, AutoConfigTarget());
        return ServiceResult{kServiceDone, "ZerloAuto: configuration replaced"};
    });
}

ServiceResult RemoveAutoService()
{
    return RemoveServiceAndFiles(kAutoService, {AutoFolder() + "\\" + kAutoExe, AutoConfigTarget()});
}

} // namespace zerloctl
