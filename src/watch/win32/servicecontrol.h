#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

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

// The default journal's folder of `service`: %ProgramData%\Orvendal, or %ProgramData%\Orvendal\NAME
// for Orvendal$NAME, for the administrators, SYSTEM and that service alone.
std::wstring makeDataFolder(const std::wstring& service);
// windows_exporter's textfile folder, when its service is installed and the folder exists.
std::optional<std::wstring> exporterFolder(SC_HANDLE manager);
// Whether `program` is on a network share (a UNC path or a mapped drive): the service must run a
// copy of this machine, which the share's owner cannot replace, and which is there at boot.
bool onNetworkShare(const std::wstring& program);

// Every watcher service installed (Orvendal and each Orvendal$NAME), by name.
std::vector<std::wstring> watcherServices(SC_HANDLE manager);

// Creates `service` running `commandLine` as `account` (with `password`, wiped here), starting
// with Windows and restarted when it fails, registers its event source for `program`, makes the
// key where it keeps its last failure, and lets it write in `exporter`, windows_exporter's
// folder, when there is one; all undone when a step fails.
void installService(SC_HANDLE manager, const std::wstring& service, const std::wstring& program,
                    const std::wstring& commandLine, const std::wstring& account,
                    std::optional<std::wstring> password,
                    const std::optional<std::wstring>& exporter);
// Stops `service` (30 s at most), deletes it with its event source, takes back its access to
// windows_exporter's folder, and removes its journal's lock file, which only a watcher uses; its
// configuration, or none when it was not installed.
std::optional<Config> removeService(SC_HANDLE manager, const std::wstring& service);
// Starts `service` and waits until its watcher runs (60 s at most); throws Error with the
// reason it stopped instead.
void startService(SC_HANDLE manager, const std::wstring& service);
// Stops `service` and waits for it (30 s at most); whether it was running.
bool stopService(SC_HANDLE manager, const std::wstring& service);
// Has `service` run `program` with the arguments it had, and its event source name `program`'s
// messages: after an upgrade moved the programs. Its account and password stay.
void pointServiceAt(SC_HANDLE manager, const std::wstring& service, const std::wstring& program);

// The reason the watcher of `service` stopped on an error, kept in the service's own key
// (Parameters, value LastFailure) where `service status` reads it; cleared once it starts.
void recordFailure(const std::wstring& service, const std::string& reason);
void clearFailure(const std::wstring& service);
std::optional<std::string> lastFailure(const std::wstring& service);

} // namespace orvendal::watch::service
