#pragma once

#include <string>
#include <string_view>

namespace orvendal {

// `text` as a JSON string literal, quotes included: the characters JSON forbids raw (quote,
// backslash, U+0000 to U+001F) escaped, and DEL and the C1 controls too so that a line of JSON
// never carries a control character a terminal or a log would act on.
std::string jsonString(std::u16string_view text);

} // namespace orvendal
