#include "escape.h"

#include <gtest/gtest.h>

#include <string>

namespace orvendal {
namespace {

TEST(Escape, PrintableShowsEveryUnprintableCharacterAsOneReplacement) {
    const struct {
        std::string utf8;
        std::string shown;
    } cases[] = {
        {"Caja 1", "Caja 1"},
        {"Recepción €", "Recepción €"},
        {std::string("a\0b", 3), "a\uFFFDb"},
        // A clipboard write (OSC 52) ended by BEL, and a colour change.
        {"\x1b]52;c;cHduZWQ=\x07", "\uFFFD]52;c;cHduZWQ=\uFFFD"},
        {"\x1b[31mrojo", "\uFFFD[31mrojo"},
        {"1\n2\r3\t4", "1\uFFFD2\uFFFD3\uFFFD4"},
        {"\x7F", "\uFFFD"},
        {"\xC2\x80\xC2\x9B\xC2\x9F\xC2\xA0", "\uFFFD\uFFFD\uFFFD\u00A0"}, // C1, then NBSP
        {"\xFF\x1b", "\uFFFD\uFFFD"}, // a byte no UTF-8 text holds
        // Direction marks and separators, between neighbours that stay.
        {"\u061C\u200D\u200E\u200F\u2027\u2028\u202E\u202F\u2066\u2069\u206A",
         "\uFFFD\u200D\uFFFD\uFFFD\u2027\uFFFD\uFFFD\u202F\uFFFD\uFFFD\u206A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printable(c.utf8), c.shown) << c.utf8;
    }
    EXPECT_EQ(printable(std::u16string_view(u"\u0085\u001b\u00e9\u0000", 4)),
              (std::u16string{u'\uFFFD', u'\uFFFD', u'é', u'\uFFFD'}));
}

TEST(Escape, CsvFieldsQuoteAndDisarmFormulas) {
    const struct {
        std::string text;
        std::string field;    // csvTextField
        std::string ourField; // csvField
    } cases[] = {
        {"", "", ""},
        {"Caja 1", "Caja 1", "Caja 1"},
        {"a,b", "\"a,b\"", "\"a,b\""},
        {"dice \"hola\"", "\"dice \"\"hola\"\"\"", "\"dice \"\"hola\"\"\""},
        {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\"",
         "\"=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
        {"+1+cmd|' /C calc'!A0", "'+1+cmd|' /C calc'!A0", "+1+cmd|' /C calc'!A0"},
        {"-2+3", "'-2+3", "-2+3"},
        {"@SUM(1)", "'@SUM(1)", "@SUM(1)"},
        {"\t=1", "'\uFFFD=1", "\t=1"},
        {"\r=1", "'\uFFFD=1", "\"\r=1\""},
        {"a=b", "a=b", "a=b"}, // only a leading sign makes a formula
        {"'=1", "'=1", "'=1"},
        {"\n=1", "'\uFFFD=1", "\"\n=1\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(csvTextField(c.text), c.field) << c.text;
        EXPECT_EQ(csvField(c.text), c.ourField) << c.text;
    }
}

} // namespace
} // namespace orvendal
