#pragma once

#include "error.h"
#include "puestobloquedos.h"
#include "sharedfile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// Records of an open station file. A connected workstation keeps its own record locked, so a
// record of which any byte is locked by another process cannot be read.
namespace orvendal::station {

// Station records that stationctl create and set write at most, and that a headless refresh
// reads: a file of 81 MB.
inline constexpr std::uint64_t kMaxStationRecords = 1'000'000;

// Records in a file of that length; a trailing partial record counts as a record.
constexpr std::uint64_t recordCount(std::uint64_t fileLength) {
    return (fileLength + kRecordLength - 1) / kRecordLength;
}

// Which of the records [first, first + count) are locked, as one probe per record would tell,
// in far fewer probes: a probe over a range that finds no lock answers for every record in it, and
// a probe that finds one marks every record its range touches. Bit k is record first + k.
std::vector<bool> findLockedRecords(const files::SharedFile& file, std::uint64_t first,
                                    std::uint64_t count);

// Which of the records [first, first + count) share a byte with one of `locks`, as
// findLockedRecords() would tell while those locks are held. Bit k is record first + k.
std::vector<bool> lockedRecordsIn(std::span<const files::ByteRange> locks, std::uint64_t first,
                                  std::uint64_t count);

// Reads [offset, offset + buffer.size()): the bytes read, fewer where the file ends, or nothing
// when a lock of another owner on a byte of the range stops the read. Throws Error for any other
// failure.
using RangeReader =
    std::function<std::optional<std::size_t>(std::uint64_t offset, std::span<std::uint8_t> buffer)>;

// How many failed reads over several records readRecordsFindingLocks() may spend beyond the
// reads the successful ones saved: enough to find a lone lock among thousands of records.
inline constexpr std::uint64_t kSpareReads = 8;

// Where a lock shows only as a failed read: reads the records [first, first + count) into `bytes`
// (count records long) and tells which are locked, exactly as one read per record would. Bit k is
// record first + k; the bytes of a locked record are left as they were. Returns the bytes from the
// first record on that the file holds, locked records included.
//
// A read over several records answers for all of them when it succeeds; one that fails is wasted.
// Such a read is only tried while the failed ones do not outnumber the records the successful ones
// spared by kSpareReads, so it never takes more than count + kSpareReads reads, whatever
// the locks. `previousLocks`, when given, is the answer of the last refresh (bit k for record
// first + k; records past its end unknown): each run of records free then is read as one read and
// each record locked then alone, so an unchanged answer costs one read per locked record and one
// per gap between them; a gap that no longer reads is searched.
std::uint64_t readRecordsFindingLocks(const RangeReader& read, std::uint64_t first,
                                      std::uint64_t count, std::span<std::uint8_t> bytes,
                                      std::vector<bool>& locked,
                                      const std::vector<bool>* previousLocks = nullptr);

// Consecutive records read together: their bytes in one read and their locks in a few probes,
// or, where locks show only as failed reads, in as few reads as readRecordsFindingLocks() needs.
// A record wholly or partly past the end of the file reads without failing: the bytes that exist
// are decoded, the fields past the end keep their value.
class RecordBlock {
public:
    // `previousLocks`: which records the last refresh found locked (bit k for record first + k; a
    // shorter vector leaves the rest unknown), where reads must find the locks; probes need none.
    // `lockTable`: the file's locks from SharedFile::lockTable(), used instead of probes.
    RecordBlock(const files::SharedFile& file, std::uint64_t first, std::uint64_t count,
                const std::vector<bool>* previousLocks = nullptr,
                const std::vector<files::ByteRange>* lockTable = nullptr);

    bool holds(std::uint64_t number) const { return number >= first_ && number - first_ < count_; }

    // Reads record `number` of the block over `record`; throws Error when a byte of it is locked
    // by another process or the block could not be read.
    void read(std::uint64_t number, PuestoBloquedos& record) const;

    // As read(), but answers false instead of throwing: the refresh meets thousands of locked
    // records a second.
    bool tryRead(std::uint64_t number, PuestoBloquedos& record) const;

    // Whether another process locks a byte of record `number`; false for every record of a block
    // whose read failed (requireRead() tells).
    bool locked(std::uint64_t number) const { return !failure_ && locked_[number - first_]; }

    // Throws the Error that stopped the block's read, if any; locked records are no failure.
    void requireRead() const;

private:
    std::uint64_t first_;
    std::uint64_t count_;
    std::vector<bool> locked_;
    // What the read returned: length_ bytes, fewer than the records' when the file ends early.
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::uint64_t length_ = 0;
    std::optional<Error> failure_;
};

} // namespace orvendal::station
