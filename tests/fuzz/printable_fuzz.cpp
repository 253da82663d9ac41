// Fuzzes the terminal's escaping: whatever the bytes, the text printed holds no control byte nor
// direction mark or line separator, and keeps every character in its place, one character for one.
//
// Input: byte 0 bit 0 picks the text's form (0: UTF-8, 1: UTF-16 code units); the rest is the text.
#include "escape.h"
#include "fuzzcheck.h"
#include "text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace orvendal;

using testing::fuzzCheck;

// The same characters, each unprintable one shown as U+FFFD.
void checkShown(std::u16string_view text, std::u16string_view shown) {
    fuzzCheck(shown.size() == text.size(), "the text changed length");
    for (std::size_t i = 0; i < text.size(); ++i) {
        fuzzCheck(shown[i] == (isUnprintable(text[i]) ? u'\uFFFD' : text[i]),
                  "a character changed or a control character went through");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool utf16 = (data[0] & 1) != 0;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (utf16) {
        std::u16string text(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                            static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
        }
        checkShown(text, printable(std::u16string_view(text)));
        return 0;
    }
    const std::string shown = printable(std::string_view(bytes));
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        fuzzCheck(c >= 0x20 && c != 0x7F, "a C0 control byte or DEL in the output");
        // U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
        fuzzCheck(!(c == 0xC2 && i + 1 < shown.size() &&
                    static_cast<unsigned char>(shown[i + 1]) <= 0x9F),
                  "a C1 control in the output");
    }
    fuzzCheck(toUtf8(fromUtf8(shown)) == shown, "the output is not valid UTF-8");
    checkShown(fromUtf8(bytes), fromUtf8(shown));
    return 0;
}
