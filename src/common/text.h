#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

// User-facing texts are UTF-16 (what the window shows); OS and driver messages, command lines and
// files are UTF-8. These two conversions are the only bridge between them.
namespace orvendal {

// Lone surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);

// Malformed UTF-8 (a stray or cut-short sequence, an overlong form, an encoded surrogate, a value
// past U+10FFFF) becomes U+FFFD rather than a failure: these texts are shown, never parsed.
std::u16string fromUtf8(std::string_view text);

inline std::u16string decimal16(long long value) {
    char16_t digits[20];
    char16_t* first = std::end(digits);
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        *--first = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *--first = u'-';
    }
    return std::u16string(first, std::end(digits));
}

} // namespace orvendal
