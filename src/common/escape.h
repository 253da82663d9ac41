#pragma once

#include <string>
#include <string_view>

// Texts from station files, servers, drivers and users' paths, as they leave the program for a
// person, a program it starts or a spreadsheet. They stay as they are in memory: these escape
// them where they leave.
namespace orvendal {

// What printable() shows as U+FFFD: C0 (NUL included), DEL and C1, which act on a terminal; the
// line and paragraph separators (U+2028, U+2029), which split a line where a viewer or an editor
// breaks on them; and the marks that set the direction of the text after them (Unicode's
// Bidi_Control), which can show a line's columns reversed or a name as another.
constexpr bool isUnprintable(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// `text` for a terminal, a log or a hook's variable: every unprintable character shown as
// U+FFFD, one for one, so that none acts on the terminal (escape sequences, bells, line ends that
// forge rows), cuts the text short (NUL) or shifts or reverses a table's columns.
std::u16string printable(std::u16string_view text);
// The same for UTF-8 text, whose malformed bytes show as U+FFFD too.
std::string printable(std::string_view utf8);

// One CSV field (RFC 4180): quoted, its quotes doubled, when it holds a comma, a quote or a line
// end. For the values the program makes itself (numbers, times, words).
std::string csvField(std::string_view value);

// One CSV field of outside text that a spreadsheet may open: printable(), so that no control
// character reaches the file (a terminal that shows it would act on it), and with a leading '
// when its first character past blanks and invisible ones (a soft hyphen, a zero-width space, a
// byte order mark, control characters) is =, +, - or @, or the spreadsheet would run it as a
// formula (OWASP's advice on CSV injection).
std::string csvTextField(std::string_view text);

} // namespace orvendal
