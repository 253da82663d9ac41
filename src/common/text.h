#pragma once

#include <cstdint>
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

// A number's plain decimal digits (a minus sign when negative, no grouping), kept in place: a
// refresh writes three numbers a row, thousands of rows a second.
class DecimalText {
public:
    explicit DecimalText(long long value) {
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        do {
            digits_[--first_] = static_cast<char16_t>(u'0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            digits_[--first_] = u'-';
        }
    }
    std::u16string_view view() const { return {digits_ + first_, sizeof digits_ / 2 - first_}; }
    operator std::u16string_view() const { return view(); }

private:
    char16_t digits_[20];
    std::size_t first_ = 20;
};

inline std::u16string decimal16(long long value) {
    return std::u16string(DecimalText(value).view());
}

} // namespace orvendal
