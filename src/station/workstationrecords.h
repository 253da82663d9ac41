#pragma once

#include "puestobloquedos.h"
#include "workstationfile.h"

#include <cstdint>

// A station file's records as the workstations read, write and lock them; stationctl's create,
// set, connect and simulate act as workstations through these.
namespace orvendal::station {

constexpr std::uint64_t recordOffset(std::uint64_t number) {
    return (number - 1) * kRecordLength;
}

// A record as a freshly made file holds it: blank texts, zero numbers.
PuestoBloquedos blankRecord();

// Locks record `number` (1 is the header) without waiting, as a connected workstation keeps its
// own; false when another owner holds a conflicting lock on any byte of it. Throws Error.
bool lockRecord(files::WorkstationFile& file, std::uint64_t number,
                files::WorkstationFile::LockKind kind);
void unlockRecord(files::WorkstationFile& file, std::uint64_t number);

// Record `number` as stored, over blanks where the file ends before it does.
PuestoBloquedos readRecord(const files::WorkstationFile& file, std::uint64_t number);
void writeRecord(files::WorkstationFile& file, std::uint64_t number, const PuestoBloquedos& record);

} // namespace orvendal::station
