#include "escape.h"

#include "text.h"

#include <algorithm>

namespace orvendal {

std::u16string printable(std::u16string_view text) {
    std::u16string out(text);
    std::replace_if(out.begin(), out.end(), isControlCharacter, u'\uFFFD');
    return out;
}

std::string printable(std::string_view utf8) {
    return toUtf8(printable(fromUtf8(utf8)));
}

std::string csvField(std::string_view value) {
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(value);
    }
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    return out + '"';
}

std::string csvTextField(std::string_view text) {
    if (!text.empty() &&
        std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
        std::string guarded(1, '\'');
        guarded += text;
        return csvField(guarded);
    }
    return csvField(text);
}

} // namespace orvendal
