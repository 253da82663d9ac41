#pragma once

#include "puestobloquedos.h"
#include "sharedfile.h"
#include "stationlist.h"

#include <cstdint>
#include <optional>
#include <string>

namespace orvendal::station {

// The monitor's work on the station file: each refresh reopens the file, shows the header's Tally
// in the caption and lists every station record, a locked record being a connected station.
// It holds the window's station-side state: the file's path and handle and the selected row.
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
    // Rows listed at most: a huge or sparse file must not exhaust memory or freeze the window.
    static constexpr std::uint64_t kMaxListedRows = 10000;

    StationMonitor(MonitorWindow& window, StationList& list) : window_(window), list_(list) {}

    // One refresh. When the file cannot be opened or its header cannot be read, the list stays as
    // the last good refresh left it, the caption shows the outage, and the error is shown once per
    // outage; the first refresh that succeeds ends the outage.
    void MLP_Show();
    void MLP_SetFileName(std::string fileName) { StationFileName = std::move(fileName); }

    void OpenStationFile();
    void CloseStationFile();

    void AddStationRow(const std::int32_t& row, const PuestoBloquedos& record);
    void RememberSelection() noexcept;
    void ListView1_Click() noexcept { RememberSelection(); }
    void ListView1_KeyDown(std::int16_t keyCode, std::int16_t shift) noexcept;

    const std::string& stationFileName() const { return StationFileName; }
    int stationFileNumber() const { return StationFileNumber; }
    std::int32_t selectedRecord() const { return SelectedRecord; }
    bool inOutage() const { return outage_; }

private:
    void showStations();
    // The open station file; throws Error when no file is open under StationFileNumber.
    const files::SharedFile& openFile() const;

    MonitorWindow& window_;
    StationList& list_;

    std::string StationFileName;
    // 0 when no file is open. Keeps its number after a failed open although nothing is open then.
    int StationFileNumber = 0;
    std::optional<files::SharedFile> file_;
    std::int32_t SelectedRecord = 0;
    bool outage_ = false;
    bool openFailed_ = false;
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
