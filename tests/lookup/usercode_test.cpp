#include "usercode.h"

#include "error.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace orvendal::lookup {
namespace {

TEST(UserCodeFromRowText, ReadsTheLeadingNumberRoundedHalfToEven) {
    struct Case {
        std::u16string text;
        std::optional<std::int32_t> code; // nothing: an overflow
    };
    const Case cases[] = {
        {u"1", 1},
        {u"12", 12},
        {u"0", 0},
        {u"", 0},
        {u"abc", 0},
        {u"-", 0},
        {u".", 0},
        {u"  7  ", 7},
        {u"1 2 3", 123}, // blanks inside the number are ignored as well
        {u"\t- 4", -4},
        {u"+5", 5},
        {u"--5", 0},
        {u"12abc", 12},
        {u"7-ANA", 7},
        {u"3,5", 3}, // a comma never continues the number, whatever the locale
        {u"2.5", 2},
        {u"3.5", 4},
        {u"-2.5", -2},
        {u"-3.5", -4},
        {u"0.5", 0},
        {u".5", 0},
        {u"1.5", 2},
        {u"2.4999", 2},
        {u"5.", 5},
        {u"1e3", 1000},
        {u"1E+2x", 100},
        {u"25e-1", 2},
        {u"1e", 1}, // a marker without digits is not an exponent
        {u"1e-", 1},
        {u"1e-999", 0},
        {u"2147483647", 2147483647},
        {u"2147483647.4", 2147483647},
        {u"-2147483648", -2147483647 - 1},
        {u"-2147483648.5", -2147483647 - 1},
        {u"2147483647.5", std::nullopt},
        {u"2147483648", std::nullopt},
        {u"-2147483649", std::nullopt},
        {u"99999999999999999999", std::nullopt},
        {u"1e999", std::nullopt},
        {u"\uFF17", 0}, // a full-width digit is not a digit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        if (c.code) {
            EXPECT_EQ(userCodeFromRowText(c.text), *c.code);
        } else {
            try {
                userCodeFromRowText(c.text);
                ADD_FAILURE() << "no overflow";
            } catch (const Error& e) {
                EXPECT_EQ(e.code(), errc::Overflow);
            }
        }
    }
}

} // namespace
} // namespace orvendal::lookup
