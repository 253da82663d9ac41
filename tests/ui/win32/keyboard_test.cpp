#include "wintesting.h"

#include <initializer_list>
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

// The window in front with the list's focus, the box cleared: no timer refresh comes between
// typed keys and the refresh that shows what they left remembered.
bool readyForKeys(ui::frmOrvendal& window) {
    const HWND box = ::GetDlgItem(window.handle(), kCheckBoxId);
    ::SendMessageW(box, BM_SETCHECK, BST_UNCHECKED, 0);
    ::SendMessageW(window.handle(), WM_COMMAND, MAKEWPARAM(kCheckBoxId, BN_CLICKED),
                   reinterpret_cast<LPARAM>(box));
    ::SetForegroundWindow(window.handle());
    return waitUntil([&] { return ::GetFocus() == ::GetDlgItem(window.handle(), kListId); });
}

// Keys typed as a user types them go through the window's own loop to the list's key-down
// handler before the list acts on them, the dialog keys and Alt+key included; Tab and the space
// bar still work the box.
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
        // Row 3 is selected when Return goes down: the refresh keeps it.
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
        EXPECT_EQ(runLoopFor(*window, 300), 0);
        window->MLP_Show();
        EXPECT_EQ(selectedRow(rows), step.remembered);
        EXPECT_EQ(::GetFocus(), rows);
    }

    typeKeys({{VK_TAB}});
    runLoopFor(*window, 300);
    EXPECT_EQ(::GetFocus(), box) << "Tab moves on to the box";
    typeKeys({{VK_SPACE}});
    runLoopFor(*window, 300);
    EXPECT_EQ(::SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED) << "the space bar ticks it";
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
    runLoopFor(*window, 300);
    ASSERT_EQ(selectedRow(rows), 2);
    EXPECT_EQ(cellText(rows, selectedRow(rows), 0), u"3");
    // Nothing starts with "3Z": the selection stays.
    typeKeys({{'Z'}});
    runLoopFor(*window, 300);
    EXPECT_EQ(selectedRow(rows), 2);
    // "Z" went down with row 3 selected, "3" with none: a refresh brings row 3 back.
    window->MLP_Show();
    EXPECT_EQ(selectedRow(rows), 2);
}

} // namespace
} // namespace orvendal::testing
