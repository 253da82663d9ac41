#include "text.h"

#include <algorithm>
#include <charconv>

namespace orvendal {

namespace {

constexpr char32_t Replacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

bool isHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            c = Replacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = -1; // continuation bytes, -1 for a byte that cannot start a character
        if (lead < 0x80)
            extra = 0;
        else if (lead >= 0xC2 && lead < 0xE0)
            extra = 1;
        else if (lead >= 0xE0 && lead < 0xF0)
            extra = 2;
        else if (lead >= 0xF0 && lead < 0xF5)
            extra = 3;
        char32_t c = extra <= 0 ? lead : lead & (0x3F >> extra);
        std::size_t used = 1;
        for (int k = 0; k < extra; ++k, ++used) {
            if (i + used >= text.size() ||
                (static_cast<unsigned char>(text[i + used]) & 0xC0) != 0x80) {
                extra = -1;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i + used]) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters either.
        static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (extra < 0 || c < smallest[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = Replacement;
        }
        appendUtf16(out, c);
        i += used;
    }
    return out;
}

std::string_view trimmedBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string fixedDecimals(double value, int decimals) {
    // to_chars writes a point whatever LC_NUMERIC says (Qt sets the user's locale), and the same
    // digits on Windows. Room for a sign, DBL_MAX's 309 digits, the point and the decimals.
    std::string text(312 + static_cast<std::size_t>(std::max(decimals, 0)), '\0');
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value,
                                   std::chars_format::fixed, decimals)
                         .ptr;
    text.resize(static_cast<std::size_t>(end - text.data()));
    return text;
}

} // namespace orvendal
