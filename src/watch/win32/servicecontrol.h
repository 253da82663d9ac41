#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

// The Service Control Manager and the system's access rules as the service's installation meets
// them: the service's handles and configuration, the account's log-on right, the journal's
// folder, and windows_exporter's textfile folder. Failures throw Error, told in Spanish.
namespace orvendal::watch::service {

inline constexpr wchar_t kLocalService[] = L"NT AUTHORITY\\LocalService";

struct ScDelete {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScDelete>;

ScHandle openManager(DWORD access);
// None when no service has that name.
ScHandle openService(SC_HANDLE manager, const wchar_t* name, DWORD access);

// The service's configuration as the SCM keeps it.
struct Config {
    std::wstring commandLine;
    std::wstring account;
};
Config queryConfig(SC_HANDLE service);
SERVICE_STATUS_PROCESS queryStatus(SC_HANDLE service);

// The value of `option` on a service's command line, if it is there.
std::optional<std::wstring> commandLineOption(const std::wstring& line, std::wstring_view option);

// This program's own path.
std::wstring programPath();
// `path` made absolute: the service starts in System32.
std::wstring absolutePath(const std::string& path);
// Compared as Windows compares account names and paths: ignoring case.
bool sameText(std::wstring_view a, std::wstring_view b);
// Accounts that sign in with no password: the built-in ones, and group-managed service accounts
// (DOMAIN\name$), whose password the domain keeps.
bool needsNoPassword(std::wstring_view account);

// %ProgramData%\Orvendal, for the administrators, SYSTEM and the service alone.
std::wstring makeDataFolder();
// windows_exporter's textfile folder, when its service is installed and the folder exists.
std::optional<std::wstring> exporterFolder(SC_HANDLE manager);

// Creates the service Orvendal running `commandLine` as `account` (with `password`, wiped here),
// starting with Windows and restarted when it fails, registers its event source for `program`,
// and lets it write in `exporter`, windows_exporter's folder, when there is one; all undone when
// a step fails.
void installService(SC_HANDLE manager, const std::wstring& program, const std::wstring& commandLine,
                    const std::wstring& account, std::optional<std::wstring> password,
                    const std::optional<std::wstring>& exporter);
// Stops the service (30 s at most), deletes it with its event source and takes back its access
// to windows_exporter's folder; its configuration, or none when it was not installed.
std::optional<Config> removeService(SC_HANDLE manager);

} // namespace orvendal::watch::service
