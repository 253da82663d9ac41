#pragma once

#include "error.h"
#include "puestobloquedos.h"
#include "sharedfile.h"
#include "stationfile.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvendal::station {

// What one refresh read of the station file: all the window shows of it, read without touching
// the window, so that it can be read on another thread and shown in one step.
struct StationReading {
    // The path read; the default path when the monitor was given none.
    std::string fileName;
    // The file could not be opened: shown with its own text, once per outage.
    std::optional<Error> openFailure;
    // The file could not be read (its header, a block, or the connection it came over): the
    // refresh is an outage and none of its rows are shown.
    std::optional<Error> failure;
    std::uint8_t tally = 0;
    // Records in the file, the header included.
    std::uint64_t records = 0;
    // Station records from record 2 on, as many as are listed; Connected tells the lock probe.
    std::vector<PuestoBloquedos> stations;
    // What the refresh made of the kernel's table of locks: nothing when it did not read it (few
    // stations locked, a file system where the table does not hold every lock, or a wait after
    // one was given up); else whether it was listed or given up, and why (files::LockTable).
    struct LockTableUse {
        files::LockTable::Outcome outcome;
        std::string problem;
    };
    std::optional<LockTableUse> lockTable;

    // Station records in the file, listed or not.
    std::uint64_t stationRecords() const { return records > 0 ? records - 1 : 0; }
    // What made the refresh an outage, the failure to open first; nothing when it read the file.
    const Error* outage() const {
        return openFailure ? &*openFailure : failure ? &*failure : nullptr;
    }
};

// How many station records a refresh reads, and what it does with a file that holds more.
struct ReadLimit {
    std::uint64_t stations = 0;
    // True: a file with more is a failed refresh. False: its first `stations` are read and the
    // reading tells how many there are.
    bool refuseLonger = false;
};

// The window lists so many rows at most: a huge or sparse file must not exhaust memory or freeze
// it.
inline constexpr ReadLimit kWindowReadLimit{10000, false};
// Headless commands answer for every station or for none: a count that leaves stations out would
// be a false answer to a monitoring system.
inline constexpr ReadLimit kHeadlessReadLimit{kMaxStationRecords, true};

// How a reader treats what a window takes in its stride and a headless command must not.
struct ReaderOptions {
    files::Missing missing = files::Missing::Create;
    // A file shorter than its header (an empty one included) fails the refresh, instead of
    // reading as a file of no stations: for a watcher, everybody leaving at once.
    bool requireHeader = false;
    // A header that a lock stops is read once more after this pause before the refresh fails:
    // a workstation holds it for a moment while it updates the Tally. Zero never reads it again.
    std::chrono::milliseconds headerRetry{0};
    ReadLimit limit = kWindowReadLimit;
};

// The options of stationctl's commands, which refresh every `interval`: a missing file refused,
// a short one failed, a locked header read again after a quarter of the interval, 100 ms at most,
// and every station record read or the file refused.
ReaderOptions headlessReaderOptions(std::chrono::milliseconds interval);

// The station file's side of the monitor: its handle, reopened at every refresh, and the lock
// states the last refresh found, from which the next one starts. One thread at a time uses it:
// the window's, or the refresh driver's worker while a refresh is in flight.
// OpenStationFile, CloseStationFile and StationFileNumber are the window's own procedure and
// variable names, kept on purpose against this codebase's usual naming.
class StationReader {
public:
    explicit StationReader(ReaderOptions options = {}) : options_(options) {}

    // Opens `fileName` afresh (the default path when it is empty) and reads every record. Never
    // throws: what fails is told in the reading.
    StationReading read(const std::string& fileName) noexcept;

    void CloseStationFile();
    int stationFileNumber() const { return StationFileNumber; }

private:
    void OpenStationFile(StationReading& reading);
    void readStations(StationReading& reading);
    std::optional<std::vector<files::ByteRange>>
    readLockTable(const files::SharedFile& file, std::uint64_t records, StationReading& reading);

    // 0 when no file is open. Keeps its number after a failed open although nothing is open then.
    std::atomic<int> StationFileNumber = 0;
    ReaderOptions options_;
    std::optional<files::SharedFile> file_;
    // Bit k: record k + 1 was locked at the last refresh that read the file whole.
    std::vector<bool> lastLocks_;
    // Refreshes that read the file so far, the one from which the kernel's table of locks may be
    // read again after one was given up, and how many were given up in a row.
    std::uint64_t refreshes_ = 0;
    std::uint64_t tableAgainAt_ = 0;
    unsigned tableRefusals_ = 0;
};

inline constexpr std::string_view kDefaultStationFileName = "MARLOVEN.SIT";

// The station file the monitor opens when it is given none: MARLOVEN.SIT in the folder of the
// running executable, the separator always added.
std::string defaultStationFileName();
// MARLOVEN.SIT in `folder`, the separator added even after one: "/" gives "//MARLOVEN.SIT".
std::string stationFileNameIn(const std::string& folder);

} // namespace orvendal::station
