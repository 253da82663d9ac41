#include "servicecontrol.h"

#include "error.h"
#include "eventlog.h"
#include "journalclaim.h"
#include "plainfile.h"
#include "serviceconfig.h"
#include "win32error.h"
#include "win32text.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <array>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace orvendal::watch::service {
namespace {

// A service's key, where it keeps its last failure under Parameters.
constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr wchar_t kFailureValue[] = L"LastFailure";
constexpr wchar_t kDescription[] =
    L"Registra qué puestos están conectados al fichero de estaciones, y cuándo no se puede leer, "
    L"en su diario, en el Visor de eventos y en el fichero de texto de windows_exporter.";
// What remove waits for the service to stop: its stop takes a few seconds at most.
constexpr auto kStopLimit = std::chrono::seconds(30);
// What start waits for the watcher to open its journal: a slow disk or a large prune.
constexpr auto kStartLimit = std::chrono::seconds(60);
// The SCM restarts a failed watcher after a minute, and forgets failures after a day.
constexpr DWORD kRestartDelayMs = 60'000;
constexpr DWORD kFailureResetSeconds = 86'400;

struct LocalDelete {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

[[noreturn]] void throwManagerFailure(const std::string& what) {
    const DWORD error = ::GetLastError();
    throw Error(files::win32Code(error), managerFailure(error, what));
}

// `sddl` as a security descriptor, freed with LocalFree.
std::unique_ptr<void, LocalDelete> securityDescriptor(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        throw files::lastWindowsError("ConvertStringSecurityDescriptorToSecurityDescriptor");
    }
    return std::unique_ptr<void, LocalDelete>(descriptor);
}

// Windows lets an account run a service only with the "log on as a service" right, which the
// Services console grants when it is used, and CreateService does not.
void grantServiceLogon(const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = std::size(domain);
    SID_NAME_USE use;
    if (!::LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
        throw Error(files::win32Code(::GetLastError()),
                    "--account " + files::narrow(account) + ": " +
                        files::lastWindowsError().description());
    }
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    NTSTATUS status =
        ::LsaOpenPolicy(nullptr, &attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, &policy);
    if (status == 0) {
        wchar_t right[] = SE_SERVICE_LOGON_NAME;
        LSA_UNICODE_STRING name{static_cast<USHORT>(sizeof right - sizeof(wchar_t)),
                                static_cast<USHORT>(sizeof right), right};
        status = ::LsaAddAccountRights(policy, sid, &name, 1);
        ::LsaClose(policy);
    }
    if (status != 0) {
        const DWORD error = ::LsaNtStatusToWinError(status);
        throw Error(files::win32Code(error),
                    managerFailure(error, "el derecho de iniciar sesión como servicio de " +
                                              files::narrow(account)));
    }
}

// Gives the service's SID, or takes away from it, the right to add and replace files in a folder
// it does not own (windows_exporter's, under Program Files): adding files and deleting them
// there, and, inherited by the files it makes, full access to them.
void setTextfileFolderAccess(const std::wstring& folder, const std::wstring& service, bool grant) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        throw files::windowsError(error, files::narrow(folder));
    }
    const std::unique_ptr<void, LocalDelete> descriptorOwner(descriptor);
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(serviceSid(service).c_str(), &sid)) {
        throw files::lastWindowsError("ConvertStringSidToSid");
    }
    const std::unique_ptr<void, LocalDelete> sidOwner(sid);
    std::array<EXPLICIT_ACCESSW, 2> entries{};
    for (EXPLICIT_ACCESSW& entry : entries) {
        entry.grfAccessMode = grant ? GRANT_ACCESS : REVOKE_ACCESS;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<wchar_t*>(sid);
    }
    entries[0].grfAccessPermissions = FILE_GENERIC_READ | FILE_ADD_FILE | FILE_DELETE_CHILD;
    entries[0].grfInheritance = NO_INHERITANCE;
    entries[1].grfAccessPermissions = FILE_ALL_ACCESS;
    entries[1].grfInheritance = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    PACL updated = nullptr;
    error = ::SetEntriesInAclW(grant ? 2 : 1, entries.data(), dacl, &updated);
    if (error == ERROR_SUCCESS) {
        error =
            ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, updated, nullptr);
        ::LocalFree(updated);
    }
    if (error != ERROR_SUCCESS) {
        throw files::windowsError(error, files::narrow(folder));
    }
}

// The service's Parameters key, where its watcher keeps its last failure: the service's own SID
// may write there, whatever its account.
void makeParametersKey(const std::wstring& service) {
    const auto descriptor = securityDescriptor(
        L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KA;;;" + serviceSid(service) + L")");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    HKEY key = nullptr;
    const LSTATUS status =
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kServicesKey + service + L"\\Parameters").c_str(), 0,
                          nullptr, 0, KEY_READ, &attributes, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        throw Error(files::win32Code(status),
                    managerFailure(status, "la clave del servicio " + files::narrow(service)));
    }
    ::RegCloseKey(key);
}

} // namespace

ScHandle openManager(DWORD access) {
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, access));
    if (!manager) {
        throwManagerFailure("el Administrador de control de servicios");
    }
    return manager;
}

ScHandle openService(SC_HANDLE manager, const wchar_t* name, DWORD access) {
    ScHandle service(::OpenServiceW(manager, name, access));
    if (!service && ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        throwManagerFailure("el servicio " + files::narrow(name));
    }
    return service;
}

Config queryConfig(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !::QueryServiceConfigW(service, config, needed, &needed)) {
        throwManagerFailure("la configuración del servicio");
    }
    return {config->lpBinaryPathName ? config->lpBinaryPathName : L"",
            config->lpServiceStartName ? config->lpServiceStartName : L""};
}

SERVICE_STATUS_PROCESS queryStatus(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed)) {
        throwManagerFailure("el estado del servicio");
    }
    return status;
}

std::optional<std::wstring> commandLineOption(const std::wstring& line, std::wstring_view option) {
    int count = 0;
    const std::unique_ptr<wchar_t*, LocalDelete> argv(::CommandLineToArgvW(line.c_str(), &count));
    for (int i = 0; argv && i + 1 < count; ++i) {
        if (argv.get()[i] == option) {
            return std::wstring(argv.get()[i + 1]);
        }
    }
    return std::nullopt;
}

std::wstring programPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            throw files::lastWindowsError("GetModuleFileName");
        }
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The service starts in System32: every path it is given must be absolute.
std::wstring absolutePath(const std::string& path) {
    const std::wstring given = files::wide(path);
    const DWORD needed = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD n = ::GetFullPathNameW(given.c_str(), needed, full.data(), nullptr);
    if (needed == 0 || n == 0 || n >= needed) {
        throw files::lastWindowsError(path);
    }
    full.resize(n);
    return full;
}

bool sameText(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool needsNoPassword(std::wstring_view account) {
    for (const wchar_t* builtin :
         {kLocalService, L"NT AUTHORITY\\NetworkService", L"LocalSystem", L".\\LocalSystem"}) {
        if (sameText(account, builtin)) {
            return true;
        }
    }
    return account.ends_with(L'$');
}

namespace {

// `folder` for the administrators, SYSTEM and `service` alone. Ordinary users may create folders
// in ProgramData: one already there is taken only when it is a folder itself (not a link to
// elsewhere), and gets this owner and these permissions again.
std::wstring makeProtectedFolder(const std::wstring& folder, const std::wstring& service) {
    const auto descriptor = securityDescriptor(
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + serviceSid(service) + L")");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (::CreateDirectoryW(folder.c_str(), &attributes)) {
        return folder;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        throw files::lastWindowsError(files::narrow(folder));
    }
    const HANDLE handle = ::CreateFileW(
        folder.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw files::lastWindowsError(files::narrow(folder));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plainFolder = ::GetFileInformationByHandle(handle, &info) &&
                             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (plainFolder && ::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) &&
        ::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted)) {
        error = ::SetSecurityInfo(handle, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      PROTECTED_DACL_SECURITY_INFORMATION,
                                  owner, nullptr, dacl, nullptr);
    }
    ::CloseHandle(handle);
    if (!plainFolder) {
        throw Error(errc::NotRegularFile,
                    files::narrow(folder) +
                        " no es una carpeta, sino un enlace o un fichero: quítelo "
                        "antes de instalar el servicio");
    }
    if (error != ERROR_SUCCESS) {
        throw files::windowsError(error, files::narrow(folder));
    }
    return folder;
}

} // namespace

std::wstring makeDataFolder(const std::wstring& service) {
    wchar_t* base = nullptr;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &base))) {
        throw Error(files::win32Code(ERROR_PATH_NOT_FOUND),
                    "no se encuentra la carpeta ProgramData");
    }
    const std::wstring folder = std::wstring(base) + L"\\Orvendal";
    ::CoTaskMemFree(base);
    makeProtectedFolder(folder, kName);
    const std::wstring instance = instanceOf(service);
    // Bypass traverse checking, which every account has, lets the service reach its own folder
    // through one it may not read.
    return instance.empty() ? folder : makeProtectedFolder(folder + L"\\" + instance, service);
}

std::optional<std::wstring> exporterFolder(SC_HANDLE manager) {
    const ScHandle exporter = openService(manager, L"windows_exporter", SERVICE_QUERY_CONFIG);
    if (!exporter) {
        return std::nullopt;
    }
    const auto folder = exporterTextfileFolder(queryConfig(exporter.get()).commandLine);
    if (!folder) {
        return std::nullopt;
    }
    const DWORD attributes = ::GetFileAttributesW(folder->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return std::nullopt;
    }
    return folder;
}

bool onNetworkShare(const std::wstring& program) {
    if (program.starts_with(L"\\\\") || program.starts_with(L"//")) {
        return !program.starts_with(LR"(\\?\)") || program.starts_with(LR"(\\?\UNC\)");
    }
    // Wine answers GetModuleFileName from a share with UNC\server\...
    if (program.starts_with(LR"(UNC\)")) {
        return true;
    }
    const std::wstring root = program.substr(0, 3);
    return root.size() == 3 && root[1] == L':' && ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}

std::vector<std::wstring> watcherServices(SC_HANDLE manager) {
    std::vector<std::wstring> names;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    std::vector<unsigned char> buffer;
    for (;;) {
        const BOOL done = ::EnumServicesStatusExW(
            manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        if (!done && ::GetLastError() != ERROR_MORE_DATA) {
            throwManagerFailure("la lista de servicios");
        }
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            if (isWatcherService(services[i].lpServiceName)) {
                names.emplace_back(services[i].lpServiceName);
            }
        }
        if (done) {
            return names;
        }
        buffer.resize(std::max<std::size_t>(needed, buffer.size() * 2));
    }
}

void installService(SC_HANDLE manager, const std::wstring& name, const std::wstring& program,
                    const std::wstring& commandLine, const std::wstring& account,
                    std::optional<std::wstring> password,
                    const std::optional<std::wstring>& exporter) {
    if (!sameText(account, kLocalService)) {
        grantServiceLogon(account);
    }
    const std::wstring instance = instanceOf(name);
    const std::wstring displayName =
        (instance.empty() ? std::wstring(kName) : std::wstring(kName) + L" " + instance) +
        L": vigilante de estaciones";
    const ScHandle service(::CreateServiceW(
        manager, name.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr,
        account.c_str(), password ? password->c_str() : nullptr));
    if (password) {
        ::SecureZeroMemory(password->data(), password->size() * sizeof(wchar_t));
    }
    if (!service) {
        if (::GetLastError() == ERROR_SERVICE_EXISTS) {
            throw Error(files::win32Code(ERROR_SERVICE_EXISTS),
                        "el servicio " + files::narrow(name) +
                            " ya está instalado; quítelo antes con «stationctl service remove" +
                            (instance.empty() ? "" : " --name " + files::narrow(instance)) + "»");
        }
        throwManagerFailure("el servicio " + files::narrow(name));
    }
    try {
        SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
        SC_ACTION restart[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                                {SC_ACTION_RESTART, kRestartDelayMs},
                                {SC_ACTION_RESTART, kRestartDelayMs}};
        SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr, 3, restart};
        // A watcher that reports its stop with an error code counts as failed too, not only a
        // process that dies.
        SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
        // The service's own SID in its token: the journal's folder admits it by that SID.
        SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
        const std::pair<DWORD, void*> settings[] = {
            {SERVICE_CONFIG_DESCRIPTION, &description},
            {SERVICE_CONFIG_FAILURE_ACTIONS, &failure},
            {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors},
            {SERVICE_CONFIG_SERVICE_SID_INFO, &sid}};
        for (const auto& [level, value] : settings) {
            // Wine's SCM knows only some levels and answers ERROR_INVALID_LEVEL for the others;
            // every Windows since Vista knows them all.
            if (!::ChangeServiceConfig2W(service.get(), level, value) &&
                ::GetLastError() != ERROR_INVALID_LEVEL) {
                throwManagerFailure("la configuración del servicio");
            }
        }
        makeParametersKey(name);
        EventLog::registerSource(name, program);
        if (exporter) {
            setTextfileFolderAccess(*exporter, name, true);
        }
    } catch (...) {
        ::DeleteService(service.get());
        throw;
    }
}

void startService(SC_HANDLE manager, const std::wstring& name) {
    const ScHandle service =
        openService(manager, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service) {
        throw Error(files::win32Code(ERROR_SERVICE_DOES_NOT_EXIST),
                    "el servicio " + files::narrow(name) + " no está instalado");
    }
    if (!::StartServiceW(service.get(), 0, nullptr) &&
        ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        throwManagerFailure("el arranque del servicio " + files::narrow(name));
    }
    // The service is RUNNING once its watcher has opened its outputs, or STOPPED with the reason.
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    for (;;) {
        const SERVICE_STATUS_PROCESS status = queryStatus(service.get());
        if (status.dwCurrentState == SERVICE_RUNNING) {
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            const auto reason = lastFailure(name);
            throw Error(files::win32Code(ERROR_SERVICE_SPECIFIC_ERROR),
                        "el servicio " + files::narrow(name) + " no arrancó: " +
                            reason.value_or("terminó con el código " +
                                            std::to_string(status.dwServiceSpecificExitCode)));
        }
        if (std::chrono::steady_clock::now() > limit) {
            throw Error(files::win32Code(ERROR_SERVICE_REQUEST_TIMEOUT),
                        "el servicio " + files::narrow(name) + " no ha arrancado en 60 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool stopService(SC_HANDLE manager, const std::wstring& name) {
    const ScHandle service =
        openService(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) {
        return false;
    }
    SERVICE_STATUS status{};
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        if (::GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
            return false;
        }
        throwManagerFailure("la parada del servicio " + files::narrow(name));
    }
    // The SCM tells a service's stop by no event a caller can wait on: it is asked.
    const auto limit = std::chrono::steady_clock::now() + kStopLimit;
    while (queryStatus(service.get()).dwCurrentState != SERVICE_STOPPED) {
        if (std::chrono::steady_clock::now() > limit) {
            throw Error(files::win32Code(ERROR_SERVICE_REQUEST_TIMEOUT),
                        "el servicio " + files::narrow(name) + " no se ha detenido en 30 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::optional<Config> removeService(SC_HANDLE manager, const std::wstring& name) {
    const ScHandle service = openService(manager, name.c_str(), SERVICE_QUERY_CONFIG | DELETE);
    if (!service) {
        EventLog::removeSource(name);
        return std::nullopt;
    }
    const Config config = queryConfig(service.get());
    stopService(manager, name);
    if (!::DeleteService(service.get())) {
        throwManagerFailure("el servicio " + files::narrow(name));
    }
    EventLog::removeSource(name);
    if (const auto textfile = commandLineOption(config.commandLine, L"--prometheus")) {
        const auto exporter = exporterFolder(manager);
        if (exporter && (sameText(*textfile, *exporter + L"\\orvendal.prom") ||
                         sameText(*textfile, *exporter + L"\\" + defaultTextfileName(name)))) {
            setTextfileFolderAccess(*exporter, name, false);
        }
    }
    // The watcher's claim on its journal lives in JOURNAL.lock; with the watcher gone it is
    // nobody's. Deleted only when it is a plain file: the journal's folder may be anybody's.
    if (const auto journal = commandLineOption(config.commandLine, L"--journal")) {
        const std::string lock = journal::lockPath(files::narrow(*journal));
        try {
            files::requirePlainFileOrNothing(lock, files::Owner::Us);
            ::DeleteFileW(files::wide(lock).c_str());
        } catch (const Error&) {
        }
    }
    return config;
}

void pointServiceAt(SC_HANDLE manager, const std::wstring& name, const std::wstring& program) {
    const ScHandle service =
        openService(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    if (!service) {
        throw Error(files::win32Code(ERROR_SERVICE_DOES_NOT_EXIST),
                    "el servicio " + files::narrow(name) + " no está instalado");
    }
    const Config config = queryConfig(service.get());
    const std::wstring commandLine = withProgram(config.commandLine, program);
    if (!::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                SERVICE_NO_CHANGE, commandLine.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr)) {
        throwManagerFailure("la configuración del servicio " + files::narrow(name));
    }
    makeParametersKey(name);
    EventLog::registerSource(name, program);
}

void recordFailure(const std::wstring& service, const std::string& reason) {
    const std::wstring text = files::wide(reason);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kServicesKey + service + L"\\Parameters").c_str(),
                      kFailureValue, REG_SZ, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void clearFailure(const std::wstring& service) {
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, (kServicesKey + service + L"\\Parameters").c_str(),
                         kFailureValue);
}

std::optional<std::string> lastFailure(const std::wstring& service) {
    DWORD size = 0;
    const std::wstring key = kServicesKey + service + L"\\Parameters";
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), kFailureValue, RRF_RT_REG_SZ, nullptr,
                       nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), kFailureValue, RRF_RT_REG_SZ, nullptr,
                       text.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return files::narrow(text);
}

} // namespace orvendal::watch::service
