#pragma once

#include "frmorvendal.h"
#include "messagebox.h"
#include "stationfiles.h"
#include "windowsprocess.h"

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvendal::testing {

// The controls' ids in the window, as GetDlgItem finds them.
inline constexpr int kListId = 101;
inline constexpr int kCheckBoxId = 102;

// Runs the thread's events for `ms` milliseconds, or until `done` holds; returns whether it
// holds. A WM_QUIT is kept aside: it would end the next box's own loop at once.
template <typename Condition> bool waitUntil(Condition done, DWORD ms = 5000) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!done() && ::GetTickCount64() < end) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message != WM_QUIT) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return done();
}

inline void pumpFor(DWORD ms) {
    waitUntil([] { return false; }, ms);
}

inline std::u16string windowText(HWND window) {
    wchar_t text[512];
    const int length = ::GetWindowTextW(window, text, 512);
    return {text, text + length};
}

// A cell of the list as the control gives it out.
inline std::u16string cellText(HWND list, int row, int column) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 256;
    const auto length = ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                       reinterpret_cast<LPARAM>(&item));
    return {text, text + length};
}

inline int rowCount(HWND list) {
    return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

inline int selectedRow(HWND list) {
    return static_cast<int>(
        ::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

// A control's place in its parent's client area.
inline RECT placeInParent(HWND control) {
    RECT place;
    ::GetWindowRect(control, &place);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT*>(&place), 2);
    return place;
}

// What the list tells its window, as the control sends it on a click of the user's.
inline void notifyFromList(HWND window, UINT code, int row = -1) {
    NMITEMACTIVATE note{};
    note.hdr.hwndFrom = ::GetDlgItem(window, kListId);
    note.hdr.idFrom = kListId;
    note.hdr.code = code;
    note.iItem = row;
    ::SendMessageW(window, WM_NOTIFY, kListId, reinterpret_cast<LPARAM>(&note));
}

inline void selectRow(HWND list, int row) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = state.stateMask;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(&state));
}

// The windows of these tests need an X display under Wine.
inline bool haveDisplay() {
    return !runningUnderWine() || std::getenv("DISPLAY") != nullptr;
}

// A window on a station file in a scratch folder, its boxes recorded instead of shown.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveDisplay()) {
            GTEST_SKIP() << "no X display for Wine's windows (DISPLAY is not set)";
        }
        path = dir.file(L"MARLOVEN.SIT");
        previous = ui::replaceMessageBox([this](HWND, const std::u16string& text) {
            boxes.push_back(text);
            if (onBox) {
                onBox(text);
            }
        });
        replaced = true;
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, settingsKey.c_str());
        // Left while other tests' windows keep their settings there.
        ::RegDeleteKeyW(HKEY_CURRENT_USER, kTestSettings);
        if (replaced) {
            ui::replaceMessageBox(std::move(previous));
        }
        // An ended window's WM_QUIT must not end a later test's box.
        MSG quit;
        while (::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    std::unique_ptr<ui::frmOrvendal> create() {
        auto window = std::make_unique<ui::frmOrvendal>(settingsKey);
        window->MLP_SetFileName(path);
        return window;
    }
    // The window loaded and shown as the program does it.
    std::unique_ptr<ui::frmOrvendal> open() {
        auto window = create();
        window->show();
        return window;
    }
    static HWND list(const ui::frmOrvendal& window) {
        return ::GetDlgItem(window.handle(), kListId);
    }
    static HWND checkBox(const ui::frmOrvendal& window) {
        return ::GetDlgItem(window.handle(), kCheckBoxId);
    }

    static constexpr wchar_t kTestSettings[] = L"Software\\Orvendal\\Pruebas";
    TempFolder dir;
    // The test's own place for the window's settings: every window starts with its design values.
    std::wstring settingsKey =
        std::wstring(kTestSettings) + L"\\" + dir.path().substr(dir.path().find_last_of(L'\\') + 1);
    std::string path;
    std::vector<std::u16string> boxes;
    std::function<void(const std::u16string&)> onBox;
    ui::MessageBoxFunction previous;
    bool replaced = false;
};

} // namespace orvendal::testing
