#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orvendal::station {

// Every record of the station file, the header included, is 81 bytes, packed, little-endian.
inline constexpr std::size_t kRecordLength = 81;

// A 16-bit boolean as the writing systems store it.
inline constexpr std::int16_t kFalse = 0;
inline constexpr std::int16_t kTrue = -1;

template <std::size_t N> using FixedText = std::array<char16_t, N>;

// A text field as it is stored: its whole width, nothing trimmed.
template <std::size_t N> std::u16string_view fieldText(const FixedText<N>& text) {
    return {text.data(), N};
}

// One record of the station file, its fields in stored order. Text fields hold exactly their
// width in characters: nothing trimmed, NUL characters kept.
struct PuestoBloquedos {
    FixedText<1> Lc{};
    std::int16_t Connected = kFalse;
    std::uint8_t Tally = 0;
    std::uint8_t Extra1 = 0;
    std::int16_t Extra2 = 0;
    std::int32_t StationNumber = 0;
    FixedText<20> ConnectionText{};
    FixedText<50> StationName{};

    bool operator==(const PuestoBloquedos&) const = default;
};

// Blanks a record before it is read: texts to spaces, numbers to 0, not connected. Extra1 and
// Extra2 are not touched. ClearRecord is the window's own procedure name, kept on purpose against
// this codebase's usual naming.
void ClearRecord(PuestoBloquedos& record);

// Decodes the stored bytes of one record over `record`. Fewer than 81 bytes is a record cut short
// by the end of the file: the fields, or the bytes of a field, that lie past the end keep what
// they held.
void decodeRecord(std::span<const std::uint8_t> bytes, PuestoBloquedos& record);

// The 81 bytes that store `record`, as a workstation writes it. Throws Error when a text holds a
// character that code page 1252 cannot store.
std::array<std::uint8_t, kRecordLength> encodeRecord(const PuestoBloquedos& record);

} // namespace orvendal::station
