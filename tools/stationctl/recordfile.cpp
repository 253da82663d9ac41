#include "recordfile.h"

#include <array>

namespace orvendal::stationctl {

station::PuestoBloquedos RecordFile::readRecord(std::uint64_t number) const {
    std::array<std::uint8_t, station::kRecordLength> bytes{};
    const std::size_t n = readAt(recordOffset(number), bytes);
    station::PuestoBloquedos record = blankRecord();
    station::decodeRecord(std::span(bytes).first(n), record);
    return record;
}

void RecordFile::writeRecord(std::uint64_t number, const station::PuestoBloquedos& record) {
    writeAt(recordOffset(number), station::encodeRecord(record));
}

station::PuestoBloquedos blankRecord() {
    station::PuestoBloquedos record{};
    station::ClearRecord(record);
    return record;
}

} // namespace orvendal::stationctl
