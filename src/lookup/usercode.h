#pragma once

#include <cstdint>
#include <string_view>

namespace orvendal::lookup {

// The user code of a list row: the number at the beginning of the row's text (blanks anywhere
// in it ignored, no number reads as 0), rounded to the nearest integer with halves going to the
// even neighbour. Throws Error(errc::Overflow) when that is outside the signed 32-bit range.
std::int32_t userCodeFromRowText(std::u16string_view text);

} // namespace orvendal::lookup
