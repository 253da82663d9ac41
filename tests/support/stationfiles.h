#pragma once

#include "puestobloquedos.h"
#include "filebytes.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvendal::testing {

template <std::size_t N> void putText(station::FixedText<N>& field, std::u16string_view text) {
    field.fill(u' ');
    std::copy_n(text.begin(), std::min(N, text.size()), field.begin());
}

// A station file as workstations leave it: a header whose Tally is `tally`, then `stations`
// records with believable names.
inline void writeStationFile(const std::string& path, int stations, std::uint8_t tally) {
    std::vector<unsigned char> bytes;
    const auto append = [&bytes](const station::PuestoBloquedos& record) {
        const auto encoded = station::encodeRecord(record);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    };
    station::PuestoBloquedos header{};
    header.Tally = tally;
    append(header);
    for (int i = 1; i <= stations; ++i) {
        station::PuestoBloquedos record{};
        const std::string number = std::to_string(i);
        putText(record.Lc, u"A");
        record.StationNumber = 100 + i;
        record.Tally = static_cast<std::uint8_t>(i % 256);
        putText(record.ConnectionText, u"TERM" + std::u16string(number.begin(), number.end()));
        putText(record.StationName, u"Caja " + std::u16string(number.begin(), number.end()));
        append(record);
    }
    writeBytes(path, bytes);
}

} // namespace orvendal::testing
