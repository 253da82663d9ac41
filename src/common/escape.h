#pragma once

#include <string>
#include <string_view>

// Texts from station files, servers, drivers and users' paths, as they leave the program for a
// person or a spreadsheet. They stay as they are in memory: these escape them where they leave.
namespace orvendal {

// C0 (NUL included), DEL and C1.
constexpr bool isControlCharacter(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// `text` for a terminal or a log: every control character shown as U+FFFD, so that none acts on
// the terminal (escape sequences, bells, line ends that forge rows) or shifts a table's columns.
std::u16string printable(std::u16string_view text);
// The same for UTF-8 text, whose malformed bytes show as U+FFFD too.
std::string printable(std::string_view utf8);

// One CSV field (RFC 4180): quoted, its quotes doubled, when it holds a comma, a quote or a line
// end. For the values the program makes itself (numbers, times, words).
std::string csvField(std::string_view value);

// One CSV field of outside text that a spreadsheet may open: a text that begins with =, +, -, @,
// a tab or a carriage return gets a leading ' first, or the spreadsheet would run it as a
// formula (OWASP's advice on CSV injection).
std::string csvTextField(std::string_view text);

} // namespace orvendal
