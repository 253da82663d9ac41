#pragma once

#include "puestobloquedos.h"
#include "stationreader.h"
#include "text.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What the window shows of a refresh, as texts: every front end (the window, stationctl's table,
// a web page) takes its caption, headings and cells from here, so they all show the same thing.
namespace orvendal::ui {

// Shown in the caption immediately before the header's Tally.
inline constexpr std::u16string_view kCaptionLabel = u"Conexiones activas: ";
// Shown after the label, instead of the Tally, while the station file cannot be read.
inline constexpr std::u16string_view kOutageMark = u"sin acceso";
// Ends the caption while the marker file exists.
inline constexpr std::u16string_view kLockMark = u" LOCK";
// The "Conectado" column's two words, as the Spanish desktop shows a boolean.
inline constexpr std::u16string_view kTrueWord = u"Verdadero";
inline constexpr std::u16string_view kFalseWord = u"Falso";

inline constexpr std::array<std::u16string_view, 7> kHeadings = {
    u"Rec", u"LC", u"Conectado", u"Puesto", u"Conexión", u"Nombre Puesto", u"Contador"};

// The caption after `reading`: the label and the header's Tally, then " [N de M]" when the list
// leaves station records out, then " LOCK" when `lockMarker`. While the file cannot be read, the
// label and "sin acceso" alone: the marker is not looked for then.
std::u16string stationCaption(const station::StationReading& reading, bool lockMarker);
// The same for a list that shows only the first `listed` of the reading's stations, as a web page
// bounded like the window does.
std::u16string stationCaption(const station::StationReading& reading, bool lockMarker,
                              std::uint64_t listed);

// Whether the marker file "out.vrl" is a regular file in the current folder.
bool lockMarkerExists();

// The seven cells of a row: the row number, LC, "Verdadero" or "Falso", the station number, the
// connection, the name and the record's Tally. Texts keep their whole stored width. It refers to
// the record's texts, so it must not outlive the record.
class StationRow {
public:
    StationRow(std::int32_t row, const station::PuestoBloquedos& record)
        : row_(row), record_(record), station_(record.StationNumber), tally_(record.Tally) {}

    std::u16string_view operator[](std::size_t column) const;
    static constexpr std::size_t size() { return kHeadings.size(); }

private:
    // The numbers' digits are kept here: a refresh fills thousands of rows twice a second.
    DecimalText row_;
    const station::PuestoBloquedos& record_;
    DecimalText station_;
    DecimalText tally_;
};

} // namespace orvendal::ui
