#include "messagebox.h"

#include <utility>

namespace orvendal::ui {
namespace {

MessageBoxFunction& currentBox() {
    static MessageBoxFunction box = showModalBox;
    return box;
}

} // namespace

void messageBox(HWND owner, const std::u16string& text) {
    currentBox()(owner, text);
}

MessageBoxFunction replaceMessageBox(MessageBoxFunction function) {
    return std::exchange(currentBox(), std::move(function));
}

void showModalBox(HWND owner, const std::u16string& text) {
    ::MessageBoxW(owner, reinterpret_cast<const wchar_t*>(text.c_str()), L"Orvendal", MB_OK);
}

} // namespace orvendal::ui
