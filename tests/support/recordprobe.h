#pragma once

#include "error.h"
#include "puestobloquedos.h"
#include "sharedfile.h"

#include <array>
#include <cstdint>

namespace orvendal::testing {

// The plainest reading of one record, which the refresh's block reads must match: one lock probe
// over its 81 bytes, then one read. Throws Error when a byte of the record is locked.
inline void probeAndRead(const files::SharedFile& file, std::uint64_t number,
                         station::PuestoBloquedos& record) {
    const std::uint64_t offset = (number - 1) * station::kRecordLength;
    if (file.findLock(offset, station::kRecordLength)) {
        throw Error::of(errc::RecordLocked);
    }
    std::array<std::uint8_t, station::kRecordLength> bytes{};
    const std::size_t n = file.readAt(offset, bytes);
    station::decodeRecord(std::span(bytes).first(n), record);
}

} // namespace orvendal::testing
