#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace orvendal::ui {

// Every box the program shows goes through messageBox(): modal, the text, an OK button only, no
// icon, titled with the application's name, over `owner`.
using MessageBoxFunction = std::function<void(HWND owner, const std::u16string& text)>;

void messageBox(HWND owner, const std::u16string& text);

// Puts `function` in the place of the real box (tests record the texts instead of waiting for a
// user) and returns what it replaced.
MessageBoxFunction replaceMessageBox(MessageBoxFunction function);

// The real box.
void showModalBox(HWND owner, const std::u16string& text);

} // namespace orvendal::ui
