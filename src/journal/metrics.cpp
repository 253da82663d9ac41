#include "metrics.h"

#include "error.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <system_error>

namespace orvendal::journal {
namespace {

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

} // namespace

std::string renderMetrics(const StationTracker& tracker, WallClock::time_point lastRefresh,
                          double refreshSeconds) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(6);
    const auto& stations = tracker.stations();
    family(out, "orvendal_up", "gauge",
           "1 when the last refresh read the station file, 0 when not.");
    out << "orvendal_up " << (tracker.inOutage() ? 0 : 1) << '\n';
    family(out, "orvendal_stations", "gauge", "Station records in the station file.");
    out << "orvendal_stations " << stations.size() << '\n';
    family(out, "orvendal_stations_connected", "gauge", "Stations whose record is locked.");
    out << "orvendal_stations_connected " << tracker.connectedCount() << '\n';
    family(out, "orvendal_station_connected", "gauge", "1 while the station's record is locked.");
    for (std::size_t i = 0; i < stations.size(); ++i) {
        out << "orvendal_station_connected{rec=\"" << i + 1 << "\"} "
            << (stations[i].connected ? 1 : 0) << '\n';
    }
    family(out, "orvendal_station_connects_total", "counter",
           "Connections of the station seen since the watcher started.");
    for (std::size_t i = 0; i < stations.size(); ++i) {
        out << "orvendal_station_connects_total{rec=\"" << i + 1 << "\"} " << stations[i].connects
            << '\n';
    }
    family(out, "orvendal_last_refresh_timestamp_seconds", "gauge",
           "When the last refresh ended, in seconds since the Unix epoch.");
    out << "orvendal_last_refresh_timestamp_seconds " << std::fixed
        << static_cast<double>(epochMilliseconds(lastRefresh)) / 1000.0 << '\n';
    family(out, "orvendal_refresh_duration_seconds", "gauge", "How long the last refresh took.");
    out << "orvendal_refresh_duration_seconds " << refreshSeconds << '\n';
    return out.str();
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    const std::filesystem::path target(path);
    std::filesystem::path temporary = target;
    // Appended, not concatenated: GCC 12 warns falsely (-Wrestrict) on "." + string there.
    std::string name = ".";
    name += target.filename().string();
    name += ".tmp";
    temporary.replace_filename(name);
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.flush();
        if (!file) {
            throw Error::fromErrno(errno ? errno : EIO, "cannot write " + temporary.string());
        }
    }
    std::error_code error;
    // node_exporter, another user, reads it whatever the watcher's umask.
    std::filesystem::permissions(
        temporary,
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
            std::filesystem::perms::group_read | std::filesystem::perms::others_read,
        error);
    if (!error) {
        std::filesystem::rename(temporary, target, error);
    }
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw Error(error.value(),
                    error.message() + ": cannot rename " + temporary.string() + " to " + path);
    }
}

} // namespace orvendal::journal
