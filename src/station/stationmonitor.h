#pragma once

#include "error.h"
#include "puestobloquedos.h"
#include "sharedfile.h"
#include "stationfile.h"
#include "stationlist.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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

    // 0 when no file is open. Keeps its number after a failed open although nothing is open then.
    std::atomic<int> StationFileNumber = 0;
    ReaderOptions options_;
    std::optional<files::SharedFile> file_;
    // Bit k: record k + 1 was locked at the last refresh that read the file whole.
    std::vector<bool> lastLocks_;
};

// The monitor's work on the station file: each refresh reopens the file, shows the header's Tally
// in the caption and lists every station record, a locked record being a connected station.
// It holds the window's station-side state: the file's path, its reader and the selected row.
class StationMonitor {
public:
    // Shown in the caption immediately before the header's Tally.
    static constexpr std::u16string_view kCaptionLabel = u"Conexiones activas: ";
    // Shown after the label, instead of the Tally, while the station file cannot be read.
    static constexpr std::u16string_view kOutageMark = u"sin acceso";
    static constexpr std::u16string_view kLockMark = u" LOCK";
    static constexpr std::u16string_view kDefaultFileName = u"MARLOVEN.SIT";
    // The "Conectado" column's two words, as the Spanish desktop shows a boolean.
    static constexpr std::u16string_view kTrueWord = u"Verdadero";
    static constexpr std::u16string_view kFalseWord = u"Falso";
    // Rows the window lists at most.
    static constexpr std::uint64_t kMaxListedRows = kWindowReadLimit.stations;

    StationMonitor(MonitorWindow& window, StationList& list,
                   std::shared_ptr<StationReader> reader = std::make_shared<StationReader>())
        : window_(window), list_(list), reader_(std::move(reader)) {}

    // One refresh, read and shown on the calling thread.
    void MLP_Show() { show(reader_->read(StationFileName)); }
    // Shows what a refresh read. When the file could not be opened or read, the list stays as
    // the last good refresh left it, the caption shows the outage, and the error is shown once
    // per outage; the first refresh that succeeds ends the outage.
    void show(const StationReading& reading);
    void MLP_SetFileName(std::string fileName) { StationFileName = std::move(fileName); }

    void CloseStationFile() { reader_->CloseStationFile(); }

    void AddStationRow(const std::int32_t& row, const PuestoBloquedos& record);
    void RememberSelection() noexcept;
    void ListView1_Click() noexcept { RememberSelection(); }
    void ListView1_KeyDown(std::int16_t keyCode, std::int16_t shift) noexcept;

    const std::string& stationFileName() const { return StationFileName; }
    int stationFileNumber() const { return reader_->stationFileNumber(); }
    std::int32_t selectedRecord() const { return SelectedRecord; }
    bool inOutage() const { return outage_; }
    // Station records in the file at the last refresh that read it, listed or not.
    std::uint64_t stationRecords() const { return stationRecords_; }
    // The reader, for a refresh driver that reads on another thread.
    const std::shared_ptr<StationReader>& reader() const { return reader_; }

private:
    void showOutage(const StationReading& reading);

    MonitorWindow& window_;
    StationList& list_;

    std::string StationFileName;
    std::shared_ptr<StationReader> reader_;
    std::int32_t SelectedRecord = 0;
    bool outage_ = false;
    std::uint64_t stationRecords_ = 0;
};

// The station file the monitor opens when it is given none: MARLOVEN.SIT in the folder of the
// running executable, the separator always added.
std::string defaultStationFileName();
// MARLOVEN.SIT in `folder`, the separator added even after one: "/" gives "//MARLOVEN.SIT".
std::string stationFileNameIn(const std::string& folder);

// Converts a row's text to its number: optional blanks, an optional sign, decimal digits, optional
// blanks, and a value within 32 bits; nothing for any other text.
std::optional<std::int32_t> parseRowNumber(std::u16string_view text);

} // namespace orvendal::station
