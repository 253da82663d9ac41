#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace orvendal::ui {

// The window's place, size and column widths as the user left them, kept in the user's part of
// the registry under `key` (HKEY_CURRENT_USER): REG_DWORD values Left, Top, Width and Height (the
// restored window's outer rectangle, in pixels of the workspace), Dpi (the DPI those pixels were
// measured at) and REG_BINARY ColumnWidths (one little-endian 32-bit pixel width per heading).
struct WindowSettings {
    static constexpr wchar_t kKey[] = L"Software\\Orvendal\\Orvendal";

    RECT place{};
    UINT dpi = USER_DEFAULT_SCREEN_DPI;
    // Empty when the list had no headings yet: the stored widths are then left as they were.
    std::vector<int> columnWidths;

    // What is stored, or nothing when a value is missing or out of reason (another program or
    // the user may have written anything there).
    static std::optional<WindowSettings> load(const std::wstring& key);
    // Best effort: a window that cannot note its size still closes.
    void save(const std::wstring& key) const noexcept;
};

} // namespace orvendal::ui
