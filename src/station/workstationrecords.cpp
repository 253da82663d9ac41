#include "workstationrecords.h"

#include <array>

namespace orvendal::station {
namespace {

files::ByteRange recordRange(std::uint64_t number) {
    return {recordOffset(number), recordOffset(number) + kRecordLength};
}

std::string named(std::uint64_t number) {
    return "el registro " + std::to_string(number);
}

} // namespace

PuestoBloquedos blankRecord() {
    PuestoBloquedos record{};
    ClearRecord(record);
    return record;
}

bool lockRecord(files::WorkstationFile& file, std::uint64_t number,
                files::WorkstationFile::LockKind kind) {
    return file.tryLock(recordRange(number), kind, named(number));
}

void unlockRecord(files::WorkstationFile& file, std::uint64_t number) {
    file.unlock(recordRange(number), named(number));
}

PuestoBloquedos readRecord(const files::WorkstationFile& file, std::uint64_t number) {
    std::array<std::uint8_t, kRecordLength> bytes{};
    const std::size_t n = file.readAt(recordOffset(number), bytes);
    PuestoBloquedos record = blankRecord();
    decodeRecord(std::span(bytes).first(n), record);
    return record;
}

void writeRecord(files::WorkstationFile& file, std::uint64_t number,
                 const PuestoBloquedos& record) {
    file.writeAt(recordOffset(number), encodeRecord(record));
}

} // namespace orvendal::station
