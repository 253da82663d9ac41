#include "wintesting.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace orvendal::testing {
namespace {

using KeyboardTest = WindowFixture;

// A key as the user presses it, with Alt held or not.
struct Key {
    WORD code;
    bool alt = false;
};

// Types the keys into the system's input queue, as the keyboard does: they go to the window
// that has the focus, through the message loop of its thread.
inline void typeKeys(std::initializer_list<Key> keys) {
    std::vector<INPUT> inputs;
    const auto add = [&](WORD code, bool up) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = code;
        input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(input);
    };
    for (const Key& key : keys) {
        if (key.alt) {
            add(VK_MENU, false);
        }
        add(key.code, false);
        add(key.code, true);
        if (key.alt) {
            add(VK_MENU, true);
        }
    }
    ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// Runs the window's own message loop for `ms` milliseconds; the window stays open. A timer ends
// the loop: input is handled before any timer is due.
inline int runLoopFor(ui::frmOrvendal& window, UINT ms) {
    ::SetTimer(nullptr, 0, ms, [](HWND, UINT, UINT_PTR timer, DWORD) {
        ::KillTimer(nullptr, timer);
        ::PostQuitMessage(0);
    });
    return window.run();
}

// Runs xdotool on Wine's X display with `arguments`, as the user's mouse and keyboard act.
void xdotool(const std::string& arguments) {
    ChildProcess tool(L"/bin/sh", {"-c", "xdotool " + arguments});
    const auto [output, code] = tool.finish();
    ASSERT_EQ(code, 0u) << output;
}

// The window in front with the list's focus, the box cleared: no timer refresh comes between
// typed keys and the refresh that shows what they left remembered.
bool readyForKeys(ui::frmOrvendal& window) {
    const HWND box = ::GetDlgItem(window.handle(), kCheckBoxId);
    ::SendMessageW(box, BM_SETCHECK, BST_UNCHECKED, 0);
    ::SendMessageW(window.handle(), WM_COMMAND, MAKEWPARAM(kCheckBoxId, BN_CLICKED),
                   reinterpret_cast<LPARAM>(box));
    // A program closed with Alt+F4 before this one leaves Wine thinking Alt is still down, since
    // its release went to no window of Wine's: typed digits would then come as Alt+digit.
    std::vector<INPUT> releases;
    for (const WORD modifier : {VK_MENU, VK_CONTROL, VK_SHIFT}) {
        INPUT release{};
        release.type = INPUT_KEYBOARD;
        release.ki.wVk = modifier;
        release.ki.dwFlags = KEYEVENTF_KEYUP;
        releases.push_back(release);
    }
    ::SendInput(static_cast<UINT>(releases.size()), releases.data(), sizeof(INPUT));
    ::SetForegroundWindow(window.handle());
    // Wine follows the X server's focus: while another program's window holds it, Wine hands the
    // foreground back to that window and the keys go there. The window manager gives it to ours.
    if (const auto xWindow = reinterpret_cast<std::uintptr_t>(
            ::GetPropA(window.handle(), "__wine_x11_whole_window"));
        runningUnderWine() && xWindow != 0) {
        xdotool("windowactivate --sync " + std::to_string(xWindow));
    }
    return waitUntil([&] {
        return ::GetForegroundWindow() == window.handle() &&
               ::GetFocus() == ::GetDlgItem(window.handle(), kListId);
    });
}

// Runs the window's own message loop until `done` holds, looking every 20 ms; false when `ms`
// pass first. The window stays open.
bool runLoopUntil(ui::frmOrvendal& window, std::function<bool()> done, ULONGLONG ms = 20000) {
    static std::function<bool()> until;
    static ULONGLONG deadline = 0;
    until = std::move(done);
    deadline = ::GetTickCount64() + ms;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR, DWORD) {
        if (until() || ::GetTickCount64() > deadline) {
            ::PostQuitMessage(0);
        }
    });
    window.run();
    ::KillTimer(nullptr, timer);
    return until();
}

// Counts the captions the window is given: every refresh gives it one.
LRESULT CALLBACK countCaptions(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                               DWORD_PTR count) {
    if (message == WM_SETTEXT) {
        ++*reinterpret_cast<int*>(count);
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

// A user clicks a row and presses Down while the timer refreshes the list: the row the keys leave
// selected is remembered, and the refreshes that follow keep it, however fast the keys come.
TEST_F(KeyboardTest, TheRowTheKeysLeaveSelectedIsRemembered) {
    if (!runningUnderWine()) {
        GTEST_SKIP() << "clicks and types with xdotool on Wine's X display";
    }
    writeStationFile(path, 30, 1);
    const auto window = open();
    const HWND rows = list(*window);
    ::SetForegroundWindow(window->handle());
    ASSERT_TRUE(waitUntil([&] { return ::GetFocus() == rows; }));
    int captions = 0;
    ASSERT_TRUE(::SetWindowSubclass(window->handle(), countCaptions, 1,
                                    reinterpret_cast<DWORD_PTR>(&captions)));
    RECT row{LVIR_LABEL, 0, 0, 0};
    ASSERT_TRUE(::SendMessageW(rows, LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&row)));
    POINT middle{(row.left + row.right) / 2, (row.top + row.bottom) / 2};
    // Relative to the window's X window, the client area: the window manager may still be
    // placing it, and Wine learns of its place only afterwards.
    ::MapWindowPoints(rows, window->handle(), &middle, 1);
    // Under load a click can reach the window before the window manager has let it take
    // clicks; the user clicks again, and so does the test, until the row is selected.
    bool clicked = false;
    for (int attempt = 0; attempt < 5 && !clicked; ++attempt) {
        xdotool("search --sync --onlyvisible --name '^Conexiones activas: 1$' mousemove --window "
                "%1 " +
                std::to_string(middle.x) + " " + std::to_string(middle.y) + " click 1");
        clicked = runLoopUntil(
            *window, [&] { return selectedRow(rows) == 1; }, 4000);
    }
    ASSERT_TRUE(clicked) << "the click selects row 2";
    struct Step {
        const char* keys;
        int selected; // after the keys
    };
    // From row 2: Down to row 3, then Up back to row 2 and three quick Downs to row 5.
    for (const Step step : {Step{"Down", 2}, Step{"Up Down Down Down", 4}}) {
        SCOPED_TRACE(step.keys);
        xdotool("key --delay 30 " + std::string(step.keys));
        // Three refreshes after the keys have reached the X server, each of which would bring
        // back a row remembered before a key moved on.
        const int seen = captions;
        ASSERT_TRUE(runLoopUntil(*window, [&] { return captions >= seen + 3; }));
        EXPECT_EQ(selectedRow(rows), step.selected);
        // With no row selected in the list, a refresh selects the remembered one.
        ListView_SetItemState(rows, -1, 0, LVIS_SELECTED);
        window->MLP_Show();
        EXPECT_EQ(selectedRow(rows), step.selected) << "remembered";
    }
    ::RemoveWindowSubclass(window->handle(), countCaptions, 1);
    EXPECT_TRUE(boxes.empty());
}

// Keys typed as a user types them go through the window's own loop to the list's key-down
// handler once the list has acted on them, the dialog keys and Alt+key included; Tab and the
// space bar still work the box.
TEST_F(KeyboardTest, EveryKeyTheListGetsIsRememberedThroughTheWindowsLoop) {
    writeStationFile(path, 30, 1);
    const auto window = open();
    const HWND rows = list(*window);
    const HWND box = checkBox(*window);
    ASSERT_TRUE(readyForKeys(*window));
    struct Step {
        const char* keys;
        int selected; // before the keys, selected without being remembered
        std::initializer_list<Key> typed;
        int remembered; // the row a refresh selects afterwards
    };
    const Step steps[] = {
        // Down leaves row 3 selected, and so does Return: the refresh keeps it.
        {"Down, Return", 1, {{VK_DOWN}, {VK_RETURN}}, 2},
        {"Escape", 6, {{VK_ESCAPE}}, 6},
        {"Alt+A", 9, {{'A', true}}, 9},
        {"Alt+Down", 12, {{VK_DOWN, true}}, 12},
        {"F10", 15, {{VK_F10}}, 15},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.keys);
        selectRow(rows, step.selected);
        typeKeys(step.typed);
        if (step.remembered != step.selected) {
            // The key moves the list: wait until it has, however busy the machine.
            EXPECT_TRUE(
                runLoopUntil(*window, [&] { return selectedRow(rows) == step.remembered; }));
        } else {
            EXPECT_EQ(runLoopFor(*window, 300), 0);
        }
        window->MLP_Show();
        EXPECT_EQ(selectedRow(rows), step.remembered);
        EXPECT_EQ(::GetFocus(), rows);
    }

    typeKeys({{VK_TAB}});
    EXPECT_TRUE(runLoopUntil(*window, [&] { return ::GetFocus() == box; }))
        << "Tab moves on to the box";
    typeKeys({{VK_SPACE}});
    EXPECT_TRUE(runLoopUntil(*window, [&] {
        return ::SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
    })) << "the space bar ticks it";
    EXPECT_TRUE(boxes.empty());
}

// Typing in the list selects the row whose number starts with what was typed, as the list's
// own type-ahead does with the rows it holds itself.
TEST_F(KeyboardTest, TypingARowsNumberSelectsThatRow) {
    writeStationFile(path, 300, 1);
    const auto window = open();
    const HWND rows = list(*window);
    ASSERT_TRUE(readyForKeys(*window));
    typeKeys({{'3'}});
    ASSERT_TRUE(runLoopUntil(*window, [&] { return selectedRow(rows) == 2; }));
    EXPECT_EQ(cellText(rows, selectedRow(rows), 0), u"3");
    // Nothing starts with "3Z": the selection stays.
    typeKeys({{'Z'}});
    runLoopFor(*window, 300);
    EXPECT_EQ(selectedRow(rows), 2);
    // "3" left row 3 selected, and so did "Z": a refresh brings row 3 back.
    window->MLP_Show();
    EXPECT_EQ(selectedRow(rows), 2);
}

} // namespace
} // namespace orvendal::testing
