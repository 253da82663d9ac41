#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

// What the Windows service's installation decides before it asks anything of the system: its
// command line, its service SID, where windows_exporter reads textfiles, and how the Service
// Control Manager's refusals are told.
namespace orvendal::watch::service {

inline constexpr wchar_t kName[] = L"Orvendal";

// The service that watches one station file: Orvendal, or Orvendal$NAME for each further one, as
// database servers name their instances. Throws UsageError for a NAME that is not a plain word
// (ASCII letters, digits, '_', '-'; 1 to 40 of them): it becomes part of a service's, an event
// source's and a folder's name.
std::wstring serviceName(const std::optional<std::string>& instance);
// Whether `name` is one of those services, Orvendal or Orvendal$NAME.
bool isWatcherService(std::wstring_view name);
// The NAME of Orvendal$NAME; empty for Orvendal.
std::wstring instanceOf(std::wstring_view service);

// `argument` quoted so that CommandLineToArgvW (and the C runtime) give it back unchanged: as
// it is when it holds no blank or quote and is not empty, else between double quotes, a quote as
// \", the backslashes before a quote or the closing quote doubled. None for what no command line
// can carry (a NUL).
std::optional<std::wstring> quoteArgument(std::wstring_view argument);

// The service's command line: the program between quotes, then "service run" and `arguments`,
// each quoted. Throws UsageError for an argument the Service Control Manager would change: it
// expands %NAME% in the command line (ImagePath is REG_EXPAND_SZ), so a '%' is refused.
std::wstring serviceCommandLine(std::wstring_view program, std::span<const std::wstring> arguments);

// `commandLine` (a service's ImagePath) with its program, the first argument, replaced by
// `program`, and the rest as it was.
std::wstring withProgram(std::wstring_view commandLine, std::wstring_view program);

// The textfile's name in windows_exporter's folder: orvendal.prom, or orvendal-NAME.prom for
// Orvendal$NAME (its series carry their station file's label, so the files never clash).
std::wstring defaultTextfileName(std::wstring_view service);

// The SID that Windows gives a service as "NT SERVICE\<name>": S-1-5-80- and the SHA-1 of the
// name in capitals, UTF-16LE, as five 32-bit numbers.
std::wstring serviceSid(std::wstring_view name);

// The textfile folder of windows_exporter from its service's command line (ImagePath): the first
// folder of --collector.textfile.directories (or the older --collector.textfile.directory), else
// textfile_inputs beside its program, as it defaults. None when the line cannot be split.
std::optional<std::wstring> exporterTextfileFolder(std::wstring_view imagePath);

// A failure of the Service Control Manager or of the registry while doing `what`, told in
// Spanish: a refused access says that an administrator must run it, and how.
std::string managerFailure(DWORD error, std::string_view what);

} // namespace orvendal::watch::service
