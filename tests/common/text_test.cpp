#include "text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvendal {
namespace {

TEST(Text, ConvertsBetweenUtf8AndUtf16) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case both[] = {
        {"", u""},
        {"Ana", u"Ana"},
        {"Muñoz Álvarez", u"Muñoz Álvarez"},
        {"\x01\n\t", u"\x01\n\t"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"}, // a surrogate pair
    };
    for (const Case& c : both) {
        EXPECT_EQ(fromUtf8(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(toUtf8(c.utf16), c.utf8) << c.utf8;
    }

    const Case badUtf8[] = {
        {"a\xFF"
         "b",
         u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"}, // cut short at the end
        {"\xC3"
         "A",
         u"\uFFFDA"},                    // cut short by an ordinary character
        {"\xC0\xAF", u"\uFFFD\uFFFD"},   // overlong
        {"\xED\xA0\x80", u"\uFFFD"},     // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"}, // past U+10FFFF
    };
    for (const Case& c : badUtf8)
        EXPECT_EQ(fromUtf8(c.utf8), c.utf16) << c.utf8;

    EXPECT_EQ(toUtf8(std::u16string{u'a', char16_t(0xD800)}), "a\xEF\xBF\xBD");
    EXPECT_EQ(toUtf8(std::u16string{char16_t(0xDC00), u'b'}), "\xEF\xBF\xBD"
                                                              "b");
}

TEST(Text, Decimal16WritesPlainDigits) {
    EXPECT_EQ(decimal16(0), u"0");
    EXPECT_EQ(decimal16(-5), u"-5");
    EXPECT_EQ(decimal16(255), u"255");
    EXPECT_EQ(decimal16(INT64_MIN), u"-9223372036854775808");
    EXPECT_EQ(decimal16(INT64_MAX), u"9223372036854775807");
    // Every digit count, odd and even, at both ends of its range and with either sign.
    std::vector<long long> values;
    for (long long power = 1;; power *= 10) {
        for (const long long near : {power - 1, power, power + 1, 2 * power - 1}) {
            values.push_back(near);
            values.push_back(-near);
        }
        if (power > INT64_MAX / 10) {
            break;
        }
    }
    for (long long n = -1000; n <= 100'000; ++n) {
        values.push_back(n);
    }
    for (const long long value : values) {
        const std::string expected = std::to_string(value);
        ASSERT_EQ(decimal16(value), std::u16string(expected.begin(), expected.end())) << value;
    }
}

} // namespace
} // namespace orvendal
