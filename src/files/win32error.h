#pragma once

#include "error.h"

#include <windows.h>

#include <string>

// What the Windows implementations of the OS layer share: failures as the system describes them.
namespace orvendal::files {

// Windows' own error numbers (GetLastError(), or a status a call returns): a number of theirs
// never means the errno value it equals.
const std::error_category& win32Category() noexcept;
inline std::error_code win32Code(DWORD code) noexcept {
    return {static_cast<int>(code), win32Category()};
}

// The error GetLastError() reports, described by FormatMessageW in the user's language, with
// `context` (a path, a call) after the description.
Error lastWindowsError(const std::string& context = {});
// The same for a code that a call returned instead of setting it.
Error windowsError(DWORD code, const std::string& context = {});

} // namespace orvendal::files
