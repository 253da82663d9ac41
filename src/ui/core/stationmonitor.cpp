#include "stationmonitor.h"

#include "error.h"
#include "stationtexts.h"
#include "text.h"

#include <exception>
#include <utility>

namespace orvendal::ui {

void StationMonitor::show(const station::StationReading& reading) {
    if (StationFileName.empty()) {
        MLP_SetFileName(reading.fileName);
    }
    if (reading.outage()) {
        showOutage(reading);
        return;
    }
    // All of a refresh's rows, or none: the list is rebuilt only from a whole reading.
    list_.clearListItems();
    window_.setCaption(stationCaption(reading, false));
    outage_ = false;

    // From here on errors are passed over: each row reports its own.
    const std::uint64_t listed = reading.stations.size();
    for (std::uint64_t k = 0; k < listed; ++k) {
        try {
            AddStationRow(static_cast<std::int32_t>(k + 1), reading.stations[k]);
        } catch (const std::exception&) {
        }
    }
    try {
        if (window_.markerFileExists()) {
            window_.setCaption(stationCaption(reading, true));
        }
    } catch (const std::exception&) {
    }
}

void StationMonitor::showOutage(const station::StationReading& reading) {
    // The file cannot be opened or read: a rename, a network drop or a workstation holding the
    // header for a moment. The monitor keeps running and tells it once; the caption says it
    // before the box waits for the user.
    const bool told = std::exchange(outage_, true);
    window_.setCaption(stationCaption(reading, false));
    if (!told) {
        window_.messageBox(fromUtf8(reading.outage()->text('-')));
    }
}

void StationMonitor::AddStationRow(const std::int32_t& row,
                                   const station::PuestoBloquedos& record) {
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
        const StationRow cells(row, record);
        const auto item = list_.addListItem(cells[0]);
        for (std::size_t column = 1; column < StationRow::size(); ++column) {
            list_.setSubItem(item, static_cast<int>(column), cells[column]);
        }
        if (row == SelectedRecord) {
            list_.setSelectedItem(item);
            list_.ensureVisible(item);
        }
        window_.showWindow();
    } catch (...) {
        window_.messageBox(fromUtf8(toError(std::current_exception()).text('-')));
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

} // namespace orvendal::ui
