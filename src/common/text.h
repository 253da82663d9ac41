#pragma once

#include <array>
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

// `text` without the blanks (spaces, tabs, carriage returns) at either end, as a line of a
// settings or credentials file is read.
std::string_view trimmedBlanks(std::string_view text);

// `value` with `decimals` digits after the point, as printf's "%.3f" gives it in the C locale,
// whatever locale the program runs in.
std::string fixedDecimals(double value, int decimals);

// A number's plain decimal digits (a minus sign when negative, no grouping), kept in place: a
// refresh writes three numbers a row, thousands of rows a second.
class DecimalText {
public:
    explicit DecimalText(long long value) {
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        // Two digits a step, from the right: half the divisions of one digit a step.
        while (magnitude >= 100) {
            prependPair(magnitude % 100);
            magnitude /= 100;
        }
        if (magnitude >= 10) {
            prependPair(magnitude);
        } else {
            digits_[--first_] = static_cast<char16_t>(u'0' + magnitude);
        }
        if (value < 0) {
            digits_[--first_] = u'-';
        }
    }
    std::u16string_view view() const { return {digits_ + first_, sizeof digits_ / 2 - first_}; }
    operator std::u16string_view() const { return view(); }

private:
    // "00" to "99", each two characters.
    static constexpr auto kPairs = [] {
        std::array<char16_t, 200> pairs{};
        for (int n = 0; n < 100; ++n) {
            pairs[2 * n] = static_cast<char16_t>(u'0' + n / 10);
            pairs[2 * n + 1] = static_cast<char16_t>(u'0' + n % 10);
        }
        return pairs;
    }();

    void prependPair(unsigned long long pair) {
        first_ -= 2;
        digits_[first_] = kPairs[2 * pair];
        digits_[first_ + 1] = kPairs[2 * pair + 1];
    }

    char16_t digits_[20];
    std::size_t first_ = 20;
};

inline std::u16string decimal16(long long value) {
    return std::u16string(DecimalText(value).view());
}

} // namespace orvendal
