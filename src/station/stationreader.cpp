#include "stationreader.h"

#include "error.h"
#include "stationfile.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>
#include <thread>
#include <utility>

namespace orvendal::station {
namespace {

// Records probed and read together: big enough that a sweep costs a few probes, small enough
// that a refresh holds at most a few hundred kilobytes of the file.
constexpr std::uint64_t kBlockRecords = 4096;

// Stations locked at the last refresh from which one pass over the kernel's table of locks costs
// less than the probes, each of which walks every lock on the file (docs/performance.md). A
// refresh with no earlier one reads the table first when the file has so many station records.
constexpr std::size_t kLockTableFrom = 1000;
// After a table given up (another user's locks can make it huge or slow): the refreshes that only
// probe before it is read again, 8 at first and twice as many after each refusal in a row, at
// most 256 (two minutes at the default interval). Another user's locks cost a read at most 4,096
// lines beyond the station file's own, and 250 ms of pages without them
// (files::SharedFile::lockTable): one such read every two minutes, not a core. A table that works
// again is back within that time.
constexpr std::uint64_t kTableWaitFirst = 8;
constexpr std::uint64_t kTableWaitLongest = 256;
// Locks of the station file a table may list: two a station record (one locked in two parts, or
// by two readers) before the probes, whose memory does not grow with them, are better.
constexpr std::uint64_t kTableLocksPerRecord = 2;

} // namespace

StationReading StationReader::read(const std::string& fileName) noexcept {
    StationReading reading;
    try {
        reading.fileName = fileName;
        OpenStationFile(reading);
        if (!reading.openFailure) {
            readStations(reading);
        }
    } catch (...) {
        reading.stations.clear();
        reading.failure = toError(std::current_exception());
    }
    return reading;
}

void StationReader::OpenStationFile(StationReading& reading) {
    try {
        if (reading.fileName.empty()) {
            reading.fileName = defaultStationFileName();
        }
        if (StationFileNumber != 0) {
            CloseStationFile();
        }
        // The lowest free handle number: the monitor holds no other file.
        StationFileNumber = 1;
        file_ = files::SharedFile::open(reading.fileName, options_.missing);
    } catch (...) {
        reading.openFailure = toError(std::current_exception());
    }
}

void StationReader::readStations(StationReading& reading) {
    const files::SharedFile& file = *file_;
    if (options_.requireHeader && file.length() < kRecordLength) {
        throw Error::of(errc::NoHeader);
    }
    reading.records = recordCount(file.length());
    if (options_.limit.refuseLonger && reading.records > options_.limit.stations + 1) {
        throw Error(errnoCode(EFBIG), "el fichero tiene " + std::to_string(reading.records - 1) +
                                          " registros de estación y se leen como mucho " +
                                          std::to_string(options_.limit.stations));
    }
    const std::uint64_t last = std::min(reading.records, options_.limit.stations + 1);
    ++refreshes_;
    std::optional<std::vector<files::ByteRange>> table;
    // The locks the last refresh found; with none before, a first read of the table stands in for
    // it where there may be many, so that a one-shot read is not left to probes that each walk
    // every lock on the file, nor to one table read that may miss a lock held throughout.
    std::vector<bool> firstRead;
    if (lastLocks_.empty() && last > kLockTableFrom) {
        if (const auto locks = readLockTable(file, last, reading)) {
            firstRead = lockedRecordsIn(*locks, 1, last);
        }
    }
    const std::vector<bool>& before = lastLocks_.empty() ? firstRead : lastLocks_;
    if (static_cast<std::size_t>(std::count(before.begin(), before.end(), true)) >=
        kLockTableFrom) {
        table = readLockTable(file, last, reading);
    }
    // Stations rarely change within a tick: each block starts from what the last refresh found.
    std::vector<bool> previous;
    const auto block = [&](std::uint64_t first, std::uint64_t count) {
        const auto from = std::min<std::uint64_t>(first - 1, before.size());
        const auto to = std::min<std::uint64_t>(first - 1 + count, before.size());
        previous.assign(before.begin() + static_cast<std::ptrdiff_t>(from),
                        before.begin() + static_cast<std::ptrdiff_t>(to));
        return RecordBlock(file, first, count, &previous, table ? &*table : nullptr);
    };
    // The header comes with the first block of station records: one read and one sweep of probes.
    const std::uint64_t firstBlock = std::clamp<std::uint64_t>(last, 1, kBlockRecords);
    RecordBlock records = block(1, firstBlock);
    records.requireRead();
    if (records.locked(1) && options_.headerRetry.count() > 0) {
        // Read again as a whole, so that the header and the stations come from the same moment.
        std::this_thread::sleep_for(options_.headerRetry);
        records = block(1, firstBlock);
    }
    PuestoBloquedos record{};
    // A refused header is locked, or was read over a session the server has ended.
    if (records.locked(1)) {
        file.confirmLocksSeen();
    }
    records.read(1, record);
    reading.tally = record.Tally;

    std::vector<bool> locks(1, false);
    reading.stations.reserve(last > 1 ? last - 1 : 0);
    for (std::uint64_t number = 2; number <= last; ++number) {
        if (!records.holds(number)) {
            records = block(number, std::min(kBlockRecords, last - number + 1));
            // A block the file would not give (a server gone mid-refresh) makes the refresh an
            // outage, never a run of connected stations.
            records.requireRead();
        }
        ClearRecord(record);
        bool locked = !records.tryRead(number, record);
        // The table may miss a lock held throughout when others went while it was read: a
        // station that seems to leave is probed before it counts as gone.
        if (!locked && table && number - 1 < before.size() && before[number - 1] &&
            file.findLock((number - 1) * kRecordLength, kRecordLength)) {
            ClearRecord(record);
            locked = true;
        }
        record.Connected = locked ? kTrue : kFalse;
        locks.push_back(locked);
        reading.stations.push_back(record);
    }
    // A server that ended our session refuses reads too: the refresh's locks count only when
    // the connection they were read over is still alive after them.
    if (std::find(locks.begin(), locks.end(), true) != locks.end()) {
        file.confirmLocksSeen();
    }
    lastLocks_ = std::move(locks);
}

// The file's locks from the kernel's table, or nothing, when the table is given up or not read
// (where it does not hold every lock, or while waiting after a refusal); the reading tells which.
std::optional<std::vector<files::ByteRange>>
StationReader::readLockTable(const files::SharedFile& file, std::uint64_t records,
                             StationReading& reading) {
    if (refreshes_ < tableAgainAt_) {
        return std::nullopt;
    }
    files::LockTable table = file.lockTable(kTableLocksPerRecord * records);
    using Outcome = files::LockTable::Outcome;
    if (table.outcome == Outcome::NotHere) {
        return std::nullopt;
    }
    reading.lockTable = StationReading::LockTableUse{table.outcome, table.problem};
    if (table.outcome == Outcome::Listed) {
        tableRefusals_ = 0;
        return std::move(table.locks);
    }
    // 8 << 5 is already the longest wait: the shift stops there.
    const std::uint64_t wait = kTableWaitFirst << std::min(tableRefusals_, 5u);
    tableAgainAt_ = refreshes_ + 1 + std::min(wait, kTableWaitLongest);
    ++tableRefusals_;
    return std::nullopt;
}

void StationReader::CloseStationFile() {
    StationFileNumber = 0;
    // The handle is let go before closing, so a close that reports an error leaves nothing open.
    if (auto file = std::exchange(file_, std::nullopt)) {
        file->close();
    }
}

ReaderOptions headlessReaderOptions(std::chrono::milliseconds interval) {
    using std::chrono::milliseconds;
    return {files::Missing::Refuse, true, std::min(interval / 4, milliseconds(100)),
            kHeadlessReadLimit};
}

std::string stationFileNameIn(const std::string& folder) {
    return folder + files::kPathSeparator + std::string(kDefaultStationFileName);
}

std::string defaultStationFileName() {
    return stationFileNameIn(files::executableDirectory());
}

} // namespace orvendal::station
