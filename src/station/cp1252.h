#pragma once

#include <array>
#include <cstdint>
#include <optional>

// Text fields are stored one byte a character in Windows code page 1252, the ANSI code page of the
// systems that write station files.
namespace orvendal::station {

// The character of every byte, as Windows decodes it: the five bytes the code page leaves undefined
// (0x81 0x8D 0x8F 0x90 0x9D) become the control characters of the same value, and every byte
// outside 0x80 to 0x9F is the Latin-1 character of the same value.
inline constexpr std::array<char16_t, 256> kCp1252 = [] {
    constexpr char16_t high[32] = {
        u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
        u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
        u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
        u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178',
    };
    std::array<char16_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        table[b] = b >= 0x80 && b <= 0x9F ? high[b - 0x80] : static_cast<char16_t>(b);
    }
    return table;
}();

inline char16_t decodeCp1252(std::uint8_t byte) {
    return kCp1252[byte];
}

// The byte that stores a character, or nothing when the code page has no byte for it.
std::optional<std::uint8_t> encodeCp1252(char16_t character);

} // namespace orvendal::station
