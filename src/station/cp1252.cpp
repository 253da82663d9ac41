#include "cp1252.h"

namespace orvendal::station {

std::optional<std::uint8_t> encodeCp1252(char16_t character) {
    if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) {
        return static_cast<std::uint8_t>(character);
    }
    for (int byte = 0x80; byte <= 0x9F; ++byte) {
        if (kCp1252[byte] == character) {
            return static_cast<std::uint8_t>(byte);
        }
    }
    return std::nullopt;
}

} // namespace orvendal::station
