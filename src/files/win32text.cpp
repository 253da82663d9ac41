#include "win32text.h"

#include "text.h"

namespace orvendal::files {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide strings are UTF-16");

std::wstring wide(std::string_view utf8) {
    const std::u16string text = fromUtf8(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string narrow(std::wstring_view text) {
    return toUtf8(std::u16string(text.begin(), text.end()));
}

} // namespace orvendal::files
