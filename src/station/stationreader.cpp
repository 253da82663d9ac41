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
// less than the probes, each of which walks every lock on the file (docs/performance.md).
constexpr std::size_t kLockTableFrom = 1000;

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
    std::optional<std::vector<files::ByteRange>> table;
    if (static_cast<std::size_t>(std::count(lastLocks_.begin(), lastLocks_.end(), true)) >=
        kLockTableFrom) {
        files::LockTable listed = file.lockTable(2 * last);
        if (listed.outcome == files::LockTable::Outcome::Listed) {
            table = std::move(listed.locks);
        }
    }
    // Stations rarely change within a tick: each block starts from what the last refresh found.
    std::vector<bool> previous;
    const auto block = [&](std::uint64_t first, std::uint64_t count) {
        const auto from = std::min<std::uint64_t>(first - 1, lastLocks_.size());
        const auto to = std::min<std::uint64_t>(first - 1 + count, lastLocks_.size());
        previous.assign(lastLocks_.begin() + static_cast<std::ptrdiff_t>(from),
                        lastLocks_.begin() + static_cast<std::ptrdiff_t>(to));
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
        if (!locked && table && number - 1 < lastLocks_.size() && lastLocks_[number - 1] &&
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
