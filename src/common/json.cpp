#include "json.h"

#include "text.h"

#include <array>

namespace orvendal {

std::string jsonString(std::u16string_view text) {
    static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                  '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    std::u16string plain;
    std::string out = "\"";
    const auto flush = [&] {
        out += toUtf8(plain);
        plain.clear();
    };
    for (const char16_t c : text) {
        const char* shortForm = c == u'"'    ? "\\\""
                                : c == u'\\' ? "\\\\"
                                : c == u'\n' ? "\\n"
                                : c == u'\r' ? "\\r"
                                : c == u'\t' ? "\\t"
                                             : nullptr;
        if (shortForm) {
            flush();
            out += shortForm;
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            flush();
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            plain += c;
        }
    }
    flush();
    return out + "\"";
}

} // namespace orvendal
