#include "usercode.h"

#include "error.h"

#include <charconv>
#include <cmath>
#include <string>

namespace orvendal::lookup {

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}
bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// The longest prefix of `text` (blanks dropped) that reads as a decimal number: sign, digits,
// fraction, exponent. An exponent marker without digits is not part of the number.
std::string numberPrefix(std::u16string_view text) {
    std::string number;
    std::size_t i = 0;
    auto next = [&]() -> char16_t {
        while (i < text.size() && isBlank(text[i]))
            ++i;
        return i < text.size() ? text[i] : u'\0';
    };
    auto take = [&](std::string& into) { into += static_cast<char>(text[i++]); };
    auto digits = [&](std::string& into) {
        bool any = false;
        while (isDigit(next())) {
            take(into);
            any = true;
        }
        return any;
    };

    if (next() == u'+' || next() == u'-')
        take(number);
    bool mantissa = digits(number);
    if (next() == u'.') {
        take(number);
        mantissa = digits(number) || mantissa;
    }
    if (!mantissa)
        return {};
    if (next() == u'e' || next() == u'E') {
        const std::size_t mark = i;
        std::string exponent;
        take(exponent);
        if (next() == u'+' || next() == u'-')
            take(exponent);
        if (digits(exponent))
            number += exponent;
        else
            i = mark;
    }
    return number;
}

} // namespace

std::int32_t userCodeFromRowText(std::u16string_view text) {
    std::string number = numberPrefix(text);
    if (number.empty())
        return 0;
    // from_chars (unlike strtod, it ignores the locale's decimal comma) takes no leading '+'.
    if (number.front() == '+')
        number.erase(0, 1);
    double value = 0;
    const auto ec = std::from_chars(number.data(), number.data() + number.size(), value).ec;
    if (ec == std::errc::result_out_of_range) {
        // Beyond a double: vanishingly small (a negative exponent) reads as 0, else too large.
        const std::size_t e = number.find_first_of("eE");
        value = e != std::string::npos && number[e + 1] == '-' ? 0.0 : HUGE_VAL;
    }

    // The default rounding mode sends exact halves to the even neighbour.
    const double rounded = std::nearbyint(value);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        throw Error::of(errc::Overflow);
    return static_cast<std::int32_t>(rounded);
}

} // namespace orvendal::lookup
