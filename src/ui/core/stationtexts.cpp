#include "stationtexts.h"

#include "sharedfile.h"

#include <stdexcept>

namespace orvendal::ui {

using station::fieldText;

std::u16string stationCaption(const station::StationReading& reading, bool lockMarker) {
    return stationCaption(reading, lockMarker, reading.stations.size());
}

std::u16string stationCaption(const station::StationReading& reading, bool lockMarker,
                              std::uint64_t listed) {
    std::u16string caption(kCaptionLabel);
    if (reading.outage()) {
        return caption + std::u16string(kOutageMark);
    }
    caption += DecimalText(reading.tally);
    if (listed < reading.stationRecords()) {
        caption += u" [" + decimal16(static_cast<long long>(listed)) + u" de " +
                   decimal16(static_cast<long long>(reading.stationRecords())) + u"]";
    }
    if (lockMarker) {
        caption += kLockMark;
    }
    return caption;
}

bool lockMarkerExists() {
    return files::regularFileExists("out.vrl");
}

std::u16string_view StationRow::operator[](std::size_t column) const {
    switch (column) {
    case 0:
        return row_;
    case 1:
        return fieldText(record_.Lc);
    case 2:
        return record_.Connected != station::kFalse ? kTrueWord : kFalseWord;
    case 3:
        return station_;
    case 4:
        return fieldText(record_.ConnectionText);
    case 5:
        return fieldText(record_.StationName);
    case 6:
        return tally_;
    default:
        throw std::out_of_range("una fila de la lista tiene 7 columnas");
    }
}

} // namespace orvendal::ui
