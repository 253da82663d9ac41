#pragma once

#include "puestobloquedos.h"
#include "stationlist.h"
#include "stationreader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace orvendal::ui {

// The monitor's work on the window: each refresh shows the header's Tally in the caption and
// lists every station record, a locked record being a connected station. It holds the window's
// station-side state: the file's path, its reader and the selected row.
//
// MLP_Show, AddStationRow, ListView1_Click, StationFileName, SelectedRecord and the like are the
// window's own event and procedure names, kept on purpose against this codebase's usual naming.
class StationMonitor {
public:
    // Rows the window lists at most.
    static constexpr std::uint64_t kMaxListedRows = station::kWindowReadLimit.stations;

    StationMonitor(
        MonitorWindow& window, StationList& list,
        std::shared_ptr<station::StationReader> reader = std::make_shared<station::StationReader>())
        : window_(window), list_(list), reader_(std::move(reader)) {}

    // One refresh, read and shown on the calling thread.
    void MLP_Show() { show(reader_->read(StationFileName)); }
    // Shows what a refresh read. When the file could not be opened or read, the list stays as
    // the last good refresh left it, the caption shows the outage, and the error is shown once
    // per outage; the first refresh that succeeds ends the outage.
    void show(const station::StationReading& reading);
    void MLP_SetFileName(std::string fileName) { StationFileName = std::move(fileName); }

    void CloseStationFile() { reader_->CloseStationFile(); }

    void AddStationRow(const std::int32_t& row, const station::PuestoBloquedos& record);
    void RememberSelection() noexcept;
    void ListView1_Click() noexcept { RememberSelection(); }
    void ListView1_KeyDown(std::int16_t keyCode, std::int16_t shift) noexcept;

    const std::string& stationFileName() const { return StationFileName; }
    int stationFileNumber() const { return reader_->stationFileNumber(); }
    std::int32_t selectedRecord() const { return SelectedRecord; }
    bool inOutage() const { return outage_; }
    // The reader, for a refresh driver that reads on another thread.
    const std::shared_ptr<station::StationReader>& reader() const { return reader_; }

private:
    void showOutage(const station::StationReading& reading);

    MonitorWindow& window_;
    StationList& list_;

    std::string StationFileName;
    std::shared_ptr<station::StationReader> reader_;
    std::int32_t SelectedRecord = 0;
    bool outage_ = false;
};

// Converts a row's text to its number: optional blanks, an optional sign, decimal digits, optional
// blanks, and a value within 32 bits; nothing for any other text.
std::optional<std::int32_t> parseRowNumber(std::u16string_view text);

} // namespace orvendal::ui
