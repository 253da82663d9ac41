#include "puestobloquedos.h"

#include "cp1252.h"
#include "error.h"
#include "text.h"

#include <cstring>
#include <type_traits>

namespace orvendal::station {
namespace {

constexpr std::size_t kLcOffset = 0;
constexpr std::size_t kConnectedOffset = 1;
constexpr std::size_t kTallyOffset = 3;
constexpr std::size_t kExtra1Offset = 4;
constexpr std::size_t kExtra2Offset = 5;
constexpr std::size_t kStationNumberOffset = 7;
constexpr std::size_t kConnectionTextOffset = 11;
constexpr std::size_t kStationNameOffset = 31;
static_assert(kStationNameOffset + 50 == kRecordLength);

// Replaces the bytes of `value` that `bytes` holds, least significant first; the bytes past the
// end of `bytes` keep their old value.
template <typename T>
void overlayInteger(std::span<const std::uint8_t> bytes, std::size_t offset, T& value) {
    using U = std::make_unsigned_t<T>;
    std::uint64_t v = static_cast<U>(value);
    for (std::size_t k = 0; k < sizeof(T) && offset + k < bytes.size(); ++k) {
        v = (v & ~(std::uint64_t{0xFF} << (8 * k))) | (std::uint64_t{bytes[offset + k]} << (8 * k));
    }
    value = static_cast<T>(static_cast<U>(v));
}

template <std::size_t N>
void overlayText(std::span<const std::uint8_t> bytes, std::size_t offset, FixedText<N>& text) {
    for (std::size_t k = 0; k < N && offset + k < bytes.size(); ++k) {
        text[k] = decodeCp1252(bytes[offset + k]);
    }
}

using WholeRecord = std::span<const std::uint8_t, kRecordLength>;

template <typename T> T loadInteger(WholeRecord bytes, std::size_t offset) {
    std::make_unsigned_t<T> v = 0;
    for (std::size_t k = 0; k < sizeof(T); ++k) {
        v |= static_cast<std::make_unsigned_t<T>>(bytes[offset + k]) << (8 * k);
    }
    return static_cast<T>(v);
}

// Whether any of `bytes` lies in 0x80 to 0x9F, the only bytes whose character in code page 1252
// is not the one of the same value. Eight bytes a step: a byte is in that range when its bit 7 is
// set and bits 6 and 5 are clear.
bool anyRemapped(std::span<const std::uint8_t> bytes) {
    std::uint64_t hits = 0;
    std::size_t k = 0;
    for (; k + 8 <= bytes.size(); k += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + k, 8);
        hits |= word & ~(word << 1) & ~(word << 2);
    }
    for (; k < bytes.size(); ++k) {
        hits |= bytes[k] & ~(bytes[k] << 1) & ~(bytes[k] << 2);
    }
    return (hits & 0x8080808080808080) != 0;
}

// `sameValue`: no byte of the text is one that anyRemapped() looks for, so each widens to its
// character, which the compiler does many at a time.
template <std::size_t N>
void decodeWholeText(WholeRecord bytes, std::size_t offset, bool sameValue, FixedText<N>& text) {
    if (sameValue) {
        for (std::size_t k = 0; k < N; ++k) {
            text[k] = bytes[offset + k];
        }
    } else {
        for (std::size_t k = 0; k < N; ++k) {
            text[k] = kCp1252[bytes[offset + k]];
        }
    }
}

template <typename T>
void storeInteger(std::array<std::uint8_t, kRecordLength>& out, std::size_t offset, T value) {
    const auto v = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t k = 0; k < sizeof(T); ++k) {
        out[offset + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
}

template <std::size_t N>
void storeText(std::array<std::uint8_t, kRecordLength>& out, std::size_t offset,
               const FixedText<N>& text) {
    for (std::size_t k = 0; k < N; ++k) {
        const auto byte = encodeCp1252(text[k]);
        if (!byte) {
            throw Error::of(errc::Unencodable, "\"" + toUtf8({&text[k], 1}) + "\"");
        }
        out[offset + k] = *byte;
    }
}

} // namespace

void ClearRecord(PuestoBloquedos& record) {
    record.Connected = kFalse;
    record.StationNumber = 0;
    record.ConnectionText.fill(u' ');
    record.Lc.fill(u' ');
    record.StationName.fill(u' ');
    record.Tally = 0;
}

void decodeRecord(std::span<const std::uint8_t> bytes, PuestoBloquedos& record) {
    if (bytes.size() >= kRecordLength) {
        // A whole record, the refresh's common case: no field keeps anything of its old value.
        const auto whole = bytes.first<kRecordLength>();
        // The two long texts lie side by side up to the record's end.
        static_assert(kConnectionTextOffset + 20 == kStationNameOffset);
        const bool sameValue = !anyRemapped(whole.subspan(kLcOffset, 1)) &&
                               !anyRemapped(whole.subspan(kConnectionTextOffset));
        decodeWholeText(whole, kLcOffset, sameValue, record.Lc);
        record.Connected = loadInteger<std::int16_t>(whole, kConnectedOffset);
        record.Tally = whole[kTallyOffset];
        record.Extra1 = whole[kExtra1Offset];
        record.Extra2 = loadInteger<std::int16_t>(whole, kExtra2Offset);
        record.StationNumber = loadInteger<std::int32_t>(whole, kStationNumberOffset);
        decodeWholeText(whole, kConnectionTextOffset, sameValue, record.ConnectionText);
        decodeWholeText(whole, kStationNameOffset, sameValue, record.StationName);
        return;
    }
    overlayText(bytes, kLcOffset, record.Lc);
    overlayInteger(bytes, kConnectedOffset, record.Connected);
    overlayInteger(bytes, kTallyOffset, record.Tally);
    overlayInteger(bytes, kExtra1Offset, record.Extra1);
    overlayInteger(bytes, kExtra2Offset, record.Extra2);
    overlayInteger(bytes, kStationNumberOffset, record.StationNumber);
    overlayText(bytes, kConnectionTextOffset, record.ConnectionText);
    overlayText(bytes, kStationNameOffset, record.StationName);
}

std::array<std::uint8_t, kRecordLength> encodeRecord(const PuestoBloquedos& record) {
    std::array<std::uint8_t, kRecordLength> out{};
    storeText(out, kLcOffset, record.Lc);
    storeInteger(out, kConnectedOffset, record.Connected);
    storeInteger(out, kTallyOffset, record.Tally);
    storeInteger(out, kExtra1Offset, record.Extra1);
    storeInteger(out, kExtra2Offset, record.Extra2);
    storeInteger(out, kStationNumberOffset, record.StationNumber);
    storeText(out, kConnectionTextOffset, record.ConnectionText);
    storeText(out, kStationNameOffset, record.StationName);
    return out;
}

} // namespace orvendal::station
