// Fuzzes the CSV writer: every field reads back, as RFC 4180 reads it, to the text it was given (a
// text field as printable() shows it), a text that a spreadsheet would take for a formula with a '
// before it.
#include "escape.h"
#include "fuzzcheck.h"
#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace orvendal;

using testing::fuzzCheck;

// One field as a CSV reader takes it: a quoted one with its quotes doubled inside, or a bare one
// without a comma, a quote or a line end.
std::string readField(std::string_view field) {
    if (field.empty() || field.front() != '"') {
        fuzzCheck(field.find_first_of(",\"\r\n") == std::string_view::npos,
                  "a bare field holds a comma, a quote or a line end");
        return std::string(field);
    }
    fuzzCheck(field.size() >= 2 && field.back() == '"', "a quoted field is not closed");
    std::string text;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        if (field[i] == '"') {
            fuzzCheck(i + 2 < field.size() && field[i + 1] == '"', "a lone quote inside a field");
            ++i;
        }
        text += field[i];
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzzCheck(readField(csvField(text)) == text, "a field of ours read back changed");
    const std::string shown = printable(std::string_view(text));
    const std::string field = readField(csvTextField(text));
    fuzzCheck(field == shown || field == "'" + shown,
              "a text field read back is not the text as printable() shows it");
    // A formula's sign after some of what a spreadsheet may skip: C0 controls, a space, a
    // no-break space, a soft hyphen, a zero-width space, a byte order mark.
    const std::u16string wide = fromUtf8(text);
    const auto sign = std::find_if_not(wide.begin(), wide.end(), [](char16_t c) {
        return c < 0x20 || std::u16string_view(u" \u00A0\u00AD\u200B\uFEFF").find(c) !=
                               std::u16string_view::npos;
    });
    const bool formula =
        sign != wide.end() && std::u16string_view(u"=+-@").find(*sign) != std::u16string_view::npos;
    fuzzCheck(!formula || field.front() == '\'', "a formula's sign behind blanks is not disarmed");
    return 0;
}
