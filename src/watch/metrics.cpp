#include "metrics.h"

#include "text.h"
#include "timetext.h"

#include <algorithm>
#include <locale>
#include <sstream>

namespace orvendal::watch {
namespace {

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

// `text` as a label value between double quotes: backslash, double quote and line feed escaped
// as the format wants, and malformed UTF-8 (which the collectors refuse) as U+FFFD.
std::string labelValue(std::string_view text) {
    std::string escaped;
    for (const char c : toUtf8(fromUtf8(text))) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

std::string fileLabel(std::string_view stationFile) {
    return "file=\"" + labelValue(stationFile) + '"';
}

std::string renderMetrics(const station::StationTracker& tracker, std::string_view stationFile,
                          WallClock::time_point lastRefresh, double refreshSeconds, bool running,
                          std::uint64_t listedStations) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(6);
    const std::string file = fileLabel(stationFile);
    const std::string alone = '{' + file + "} ";
    const auto& stations = tracker.stations();
    const std::size_t listed =
        static_cast<std::size_t>(std::min<std::uint64_t>(stations.size(), listedStations));
    family(out, "orvendal_build_info", "gauge", "The watcher's version, in its label.");
    out << "orvendal_build_info{" << file << ",version=\"" << labelValue(ORVENDAL_VERSION)
        << "\"} 1\n";
    family(out, "orvendal_running", "gauge", "1 while the watcher runs, 0 once it has stopped.");
    out << "orvendal_running" << alone << (running ? 1 : 0) << '\n';
    family(out, "orvendal_up", "gauge",
           "1 when the last refresh read the station file, 0 when not or once stopped.");
    out << "orvendal_up" << alone << (running && !tracker.inOutage() ? 1 : 0) << '\n';
    family(out, "orvendal_stations", "gauge", "Station records in the station file.");
    out << "orvendal_stations" << alone << stations.size() << '\n';
    family(out, "orvendal_stations_connected", "gauge", "Stations whose record is locked.");
    out << "orvendal_stations_connected" << alone << tracker.connectedCount() << '\n';
    const auto& folded = tracker.folded();
    family(out, "orvendal_stations_flapping", "gauge",
           "Stations that change state too often to record and announce each change.");
    out << "orvendal_stations_flapping" << alone << tracker.flappingCount() << '\n';
    family(out, "orvendal_flapping_periods_total", "counter",
           "Flapping periods begun since the watcher started.");
    out << "orvendal_flapping_periods_total" << alone << folded.flappingPeriods << '\n';
    family(out, "orvendal_flapping_changes_total", "counter",
           "Changes of flapping stations, recorded as their periods instead of one by one.");
    out << "orvendal_flapping_changes_total" << alone << folded.flappingChanges << '\n';
    family(out, "orvendal_change_bursts_total", "counter",
           "Refreshes whose many station changes were announced as one changes event.");
    out << "orvendal_change_bursts_total" << alone << folded.bursts << '\n';
    family(out, "orvendal_change_burst_changes_total", "counter",
           "Station changes announced within changes events; the journal has each.");
    out << "orvendal_change_burst_changes_total" << alone << folded.burstChanges << '\n';
    family(out, "orvendal_stations_omitted", "gauge",
           "Stations past the first ones listed, left without series of their own.");
    out << "orvendal_stations_omitted" << alone << stations.size() - listed << '\n';
    family(out, "orvendal_station_connected", "gauge", "1 while the station's record is locked.");
    for (std::size_t i = 0; i < listed; ++i) {
        out << "orvendal_station_connected{" << file << ",rec=\"" << i + 1 << "\"} "
            << (stations[i].connected ? 1 : 0) << '\n';
    }
    family(out, "orvendal_station_connects_total", "counter",
           "Connections of the station seen since the watcher started.");
    for (std::size_t i = 0; i < listed; ++i) {
        out << "orvendal_station_connects_total{" << file << ",rec=\"" << i + 1 << "\"} "
            << stations[i].connects << '\n';
    }
    family(out, "orvendal_last_refresh_timestamp_seconds", "gauge",
           "When the last refresh ended, in seconds since the Unix epoch.");
    out << "orvendal_last_refresh_timestamp_seconds" << alone << std::fixed
        << static_cast<double>(journal::epochMilliseconds(lastRefresh)) / 1000.0 << '\n';
    family(out, "orvendal_refresh_duration_seconds", "gauge", "How long the last refresh took.");
    out << "orvendal_refresh_duration_seconds" << alone << refreshSeconds << '\n';
    return out.str();
}

std::string renderJournalMetrics(std::string_view stationFile, bool up) {
    std::ostringstream out;
    family(out, "orvendal_journal_up", "gauge",
           "1 when the journal has committed every change, 0 while it fails.");
    out << "orvendal_journal_up{" << fileLabel(stationFile) << "} " << (up ? 1 : 0) << '\n';
    return out.str();
}

} // namespace orvendal::watch
