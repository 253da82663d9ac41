#include "escape.h"

#include "text.h"

#include <algorithm>

namespace orvendal {
namespace {

// What a spreadsheet may skip or trim before it looks for a formula's sign: blanks (Unicode's
// White_Space), invisible format characters (its Cf in the Basic Multilingual Plane) and the
// unprintable ones.
bool isInvisible(char16_t c) {
    return isUnprintable(c) || c == u' ' || c == 0x00A0 || c == 0x00AD || c == 0x1680 ||
           (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200F) || c == 0x202F || (c >= 0x205F && c <= 0x206F) ||
           c == 0x3000 || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

} // namespace

std::u16string printable(std::u16string_view text) {
    std::u16string out(text);
    std::replace_if(out.begin(), out.end(), isUnprintable, u'\uFFFD');
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
    const std::u16string wide = fromUtf8(text);
    const auto lead = std::find_if_not(wide.begin(), wide.end(), isInvisible);
    const bool formula =
        lead != wide.end() && std::u16string_view(u"=+-@").find(*lead) != std::u16string_view::npos;
    // Appended, not literal + temporary: GCC 12 for mingw mistakes that for an overlapping copy.
    std::string shown(formula ? "'" : "");
    shown += toUtf8(printable(wide));
    return csvField(shown);
}

} // namespace orvendal
