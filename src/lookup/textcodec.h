#pragma once

#include <string>
#include <string_view>

namespace orvendal::lookup {

// UTF-8 <-> UTF-16 for the few texts that cross between the error type (UTF-8) and the
// user-facing texts and ODBC wide-character calls (UTF-16). Malformed input becomes U+FFFD
// rather than a failure: these texts are only ever shown, never parsed.
std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);

} // namespace orvendal::lookup
