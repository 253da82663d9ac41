#pragma once

#include <cstdint>
#include <optional>

// Text fields are stored one byte a character in Windows code page 1252, the ANSI code page of the
// systems that write station files.
namespace orvendal::station {

// As Windows decodes it: the five bytes the code page leaves undefined (0x81 0x8D 0x8F 0x90 0x9D)
// become the control characters of the same value.
char16_t decodeCp1252(std::uint8_t byte);

// The byte that stores a character, or nothing when the code page has no byte for it.
std::optional<std::uint8_t> encodeCp1252(char16_t character);

} // namespace orvendal::station
