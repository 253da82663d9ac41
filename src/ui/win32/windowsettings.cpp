#include "windowsettings.h"

#include <cstdint>

namespace orvendal::ui {
namespace {

// Beyond any screen: a larger value is not a size the window was ever given.
constexpr int kLargest = 32767;
constexpr std::size_t kMostColumns = 64;

std::optional<int> readNumber(const std::wstring& key, const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    // Stored as the two's complement: a monitor left of the main one has negative places.
    const auto number = static_cast<std::int32_t>(value);
    if (number < -kLargest || number > kLargest) {
        return std::nullopt;
    }
    return number;
}

std::vector<int> readWidths(const std::wstring& key) {
    std::uint32_t widths[kMostColumns];
    DWORD size = sizeof widths;
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"ColumnWidths", RRF_RT_REG_BINARY, nullptr,
                       widths, &size) != ERROR_SUCCESS ||
        size % sizeof widths[0] != 0) {
        return {};
    }
    std::vector<int> result;
    for (std::size_t i = 0; i < size / sizeof widths[0]; ++i) {
        if (widths[i] > static_cast<std::uint32_t>(kLargest)) {
            return {};
        }
        result.push_back(static_cast<int>(widths[i]));
    }
    return result;
}

} // namespace

std::optional<WindowSettings> WindowSettings::load(const std::wstring& key) {
    const auto left = readNumber(key, L"Left");
    const auto top = readNumber(key, L"Top");
    const auto width = readNumber(key, L"Width");
    const auto height = readNumber(key, L"Height");
    const auto dpi = readNumber(key, L"Dpi");
    if (!left || !top || !width || !height || !dpi || *width <= 0 || *height <= 0 || *dpi < 24) {
        return std::nullopt;
    }
    WindowSettings settings;
    settings.place = {*left, *top, *left + *width, *top + *height};
    settings.dpi = static_cast<UINT>(*dpi);
    settings.columnWidths = readWidths(key);
    return settings;
}

void WindowSettings::save(const std::wstring& key) const noexcept {
    HKEY settings = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &settings, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const auto number = [&](const wchar_t* name, long value) {
        const auto stored = static_cast<DWORD>(static_cast<std::int32_t>(value));
        ::RegSetValueExW(settings, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&stored),
                         sizeof stored);
    };
    number(L"Left", place.left);
    number(L"Top", place.top);
    number(L"Width", place.right - place.left);
    number(L"Height", place.bottom - place.top);
    number(L"Dpi", static_cast<long>(dpi));
    if (!columnWidths.empty()) {
        std::vector<std::uint32_t> widths(columnWidths.begin(), columnWidths.end());
        ::RegSetValueExW(settings, L"ColumnWidths", 0, REG_BINARY,
                         reinterpret_cast<const BYTE*>(widths.data()),
                         static_cast<DWORD>(widths.size() * sizeof widths[0]));
    }
    ::RegCloseKey(settings);
}

} // namespace orvendal::ui
