#include "stationmonitor.h"

#include "error.h"
#include "stationfile.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace orvendal::station {
namespace {

constexpr std::array<std::u16string_view, 7> kHeadings = {
    u"Rec", u"LC", u"Conectado", u"Puesto", u"Conexión", u"Nombre Puesto", u"Contador"};

// Records probed and read together: big enough that a sweep costs a few probes, small enough
// that a refresh holds at most a few hundred kilobytes of the file.
constexpr std::uint64_t kBlockRecords = 4096;

// Stations locked at the last refresh from which one pass over the kernel's table of locks costs
// less than the probes, each of which walks every lock on the file (docs/performance.md).
constexpr std::size_t kLockTableFrom = 1000;

template <std::size_t N> std::u16string_view view(const FixedText<N>& text) {
    return {text.data(), N};
}

std::u16string errorText(std::exception_ptr failure, char separator) {
    return fromUtf8(toError(std::move(failure)).text(separator));
}

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
        table = file.lockTable();
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

void StationMonitor::show(const StationReading& reading) {
    if (StationFileName.empty()) {
        MLP_SetFileName(reading.fileName);
    }
    if (reading.openFailure || reading.failure) {
        showOutage(reading);
        return;
    }
    // All of a refresh's rows, or none: the list is rebuilt only from a whole reading.
    list_.clearListItems();
    std::u16string caption = std::u16string(kCaptionLabel) + decimal16(reading.tally);
    const std::uint64_t listed = reading.stations.size();
    stationRecords_ = reading.records > 0 ? reading.records - 1 : 0;
    if (listed + 1 < reading.records) {
        caption += u" [" + decimal16(static_cast<long long>(listed)) + u" de " +
                   decimal16(static_cast<long long>(reading.records - 1)) + u"]";
    }
    window_.setCaption(caption);
    outage_ = false;

    // From here on errors are passed over: each row reports its own.
    for (std::uint64_t k = 0; k < listed; ++k) {
        try {
            AddStationRow(static_cast<std::int32_t>(k + 1), reading.stations[k]);
        } catch (const std::exception&) {
        }
    }
    try {
        if (window_.markerFileExists()) {
            window_.setCaption(window_.caption() + std::u16string(kLockMark));
        }
    } catch (const std::exception&) {
    }
}

void StationMonitor::showOutage(const StationReading& reading) {
    // The file cannot be opened or read: a rename, a network drop or a workstation holding the
    // header for a moment. The monitor keeps running and tells it once; the caption says it
    // before the box waits for the user.
    const bool told = std::exchange(outage_, true);
    window_.setCaption(std::u16string(kCaptionLabel) + std::u16string(kOutageMark));
    if (!told) {
        const Error& error = reading.openFailure ? *reading.openFailure : *reading.failure;
        window_.messageBox(fromUtf8(error.text('-')));
    }
}

void StationMonitor::AddStationRow(const std::int32_t& row, const PuestoBloquedos& record) {
    try {
        if (list_.columnHeaderCount() < 3) {
            list_.clearColumnHeaders();
            list_.clearListItems();
            for (const auto heading : kHeadings) {
                list_.addColumnHeader(heading);
            }
            list_.setView(StationList::kReportView);
            list_.setLabelEdit(StationList::kLabelEditManual);
            list_.setFullRowSelect(true);
        }
        const auto item = list_.addListItem(DecimalText(row));
        list_.setSubItem(item, 1, view(record.Lc));
        list_.setSubItem(item, 2, record.Connected != kFalse ? kTrueWord : kFalseWord);
        list_.setSubItem(item, 3, DecimalText(record.StationNumber));
        list_.setSubItem(item, 4, view(record.ConnectionText));
        list_.setSubItem(item, 5, view(record.StationName));
        list_.setSubItem(item, 6, DecimalText(record.Tally));
        if (row == SelectedRecord) {
            list_.setSelectedItem(item);
            list_.ensureVisible(item);
        }
        window_.showWindow();
    } catch (...) {
        window_.messageBox(errorText(std::current_exception(), '-'));
    }
}

void StationMonitor::RememberSelection() noexcept {
    try {
        if (const auto item = list_.selectedItem()) {
            if (const auto number = parseRowNumber(list_.itemText(*item))) {
                SelectedRecord = *number;
            }
        }
    } catch (...) {
        // A selection that cannot be read leaves the remembered row as it was.
    }
}

void StationMonitor::ListView1_KeyDown(std::int16_t, std::int16_t) noexcept {
    // Every key counts, whatever it is. Front ends call this once the list has acted on the key,
    // so the row it moved to is remembered and the next refresh keeps it.
    RememberSelection();
}

ReaderOptions headlessReaderOptions(std::chrono::milliseconds interval) {
    using std::chrono::milliseconds;
    return {files::Missing::Refuse, true, std::min(interval / 4, milliseconds(100)),
            kHeadlessReadLimit};
}

std::string stationFileNameIn(const std::string& folder) {
    return folder + files::kPathSeparator + toUtf8(StationMonitor::kDefaultFileName);
}

std::string defaultStationFileName() {
    return stationFileNameIn(files::executableDirectory());
}

std::optional<std::int32_t> parseRowNumber(std::u16string_view text) {
    const auto isBlank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    long long value = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (c - u'0');
    }
    value = negative ? -value : value;
    if (value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace orvendal::station
