#pragma once

#include "puestobloquedos.h"
#include "sharedfile.h"

#include <cstdint>
#include <vector>

// Records of an open station file. A connected workstation keeps its own record locked, so a
// record of which any byte is locked by another process cannot be read.
namespace orvendal::station {

// Records in a file of that length; a trailing partial record counts as a record.
constexpr std::uint64_t recordCount(std::uint64_t fileLength) {
    return (fileLength + kRecordLength - 1) / kRecordLength;
}

// Reads record `number` (1 is the header) over `record`. Throws Error when a byte of the record is
// locked by another process or the read fails. A record wholly or partly past the end of the file
// reads without failing: the bytes that exist are decoded, the fields past the end keep their
// value.
void readRecord(const SharedFile& file, std::uint64_t number, PuestoBloquedos& record);

// Which of the records [first, first + count) are locked, as one probe per record would tell,
// in far fewer probes: a probe over a range that finds no lock answers for every record in it, and
// a probe that finds one marks every record its range touches. Bit k is record first + k.
std::vector<bool> findLockedRecords(const SharedFile& file, std::uint64_t first,
                                    std::uint64_t count);

// Consecutive records read together: their bytes in one read and their locks in a few probes.
class RecordBlock {
public:
    RecordBlock(const SharedFile& file, std::uint64_t first, std::uint64_t count);

    // Reads record `number` of the block as readRecord() would; false where readRecord() would
    // fail (the record is locked, or the block could not be read).
    bool read(std::uint64_t number, PuestoBloquedos& record) const;

private:
    std::uint64_t first_;
    std::vector<std::uint8_t> bytes_;
    std::vector<bool> locked_;
    bool readable_ = true;
};

} // namespace orvendal::station
