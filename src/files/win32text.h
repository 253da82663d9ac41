#pragma once

#include <string>
#include <string_view>

// The program's texts are UTF-8; Windows' wide calls take and give UTF-16. The two conversions
// between them, for every Windows part of the program.
namespace orvendal::files {

// Malformed UTF-8 becomes U+FFFD, as fromUtf8() makes it.
std::wstring wide(std::string_view utf8);
// Lone surrogates, which Windows' names may hold, become U+FFFD.
std::string narrow(std::wstring_view text);

} // namespace orvendal::files
