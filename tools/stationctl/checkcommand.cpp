// check: one refresh as a Nagios/Icinga plugin, thresholds on the stations connected.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "stationmonitor.h"
#include "stationpath.h"

#include <array>
#include <charconv>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>

namespace orvendal::stationctl {
namespace {

enum Status { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };
constexpr std::array<const char*, 4> kStatusWords = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// A threshold as the Monitoring Plugins guidelines write it: "10" (alert outside 0..10), "10:"
// (below 10), "~:10" (above 10), "10:20" (outside), "@10:20" (inside, ends included).
struct Range {
    std::string text;
    double low = 0;
    double high = std::numeric_limits<double>::infinity();
    bool inside = false;

    bool alerts(double value) const {
        const bool within = value >= low && value <= high;
        return inside ? within : !within;
    }
};

double rangeNumber(std::string_view text, std::string_view whole) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw UsageError("invalid range \"" + std::string(whole) + "\"");
    }
    return value;
}

Range parseRange(const std::string& text) {
    Range range{text};
    std::string_view rest = text;
    if (rest.starts_with('@')) {
        range.inside = true;
        rest.remove_prefix(1);
    }
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos) {
        range.high = rangeNumber(rest, text);
    } else {
        const std::string_view low = rest.substr(0, colon);
        const std::string_view high = rest.substr(colon + 1);
        range.low = low == "~" ? -std::numeric_limits<double>::infinity() : rangeNumber(low, text);
        if (!high.empty()) {
            range.high = rangeNumber(high, text);
        }
    }
    if (range.low > range.high) {
        throw UsageError("invalid range \"" + text + "\": its start is past its end");
    }
    return range;
}

int report(Status status, const std::string& text) {
    std::cout << "ORVENDAL " << kStatusWords[status] << " - " << printable(text) << '\n';
    return status;
}

int check(const Arguments& args) {
    args.expectPositionals(1, "FILE");
    const std::string& path = args.positionals()[0];
    std::optional<Range> warning, critical;
    if (const auto w = args.value("-w")) {
        warning = parseRange(*w);
    }
    if (const auto c = args.value("-c")) {
        critical = parseRange(*c);
    }
    openForOneRefresh(args, path);
    station::StationReader reader;
    const station::StationReading reading = reader.read(path);
    reader.CloseStationFile();
    if (reading.openFailure || reading.failure) {
        const Error& error = reading.openFailure ? *reading.openFailure : *reading.failure;
        return report(Unknown, "sin acceso a " + path + ": " + error.text('-'));
    }
    std::size_t connected = 0;
    for (const auto& record : reading.stations) {
        connected += record.Connected != station::kFalse ? 1 : 0;
    }
    const auto value = static_cast<double>(connected);
    const Status status = critical && critical->alerts(value) ? Critical
                          : warning && warning->alerts(value) ? Warning
                                                              : Ok;
    // Perfdata in the C locale whatever the user's: the stream is imbued with none.
    std::ostringstream line;
    line << connected << " de " << reading.stations.size()
         << " estaciones conectadas | connected=" << connected << ';'
         << (warning ? warning->text : "") << ';' << (critical ? critical->text : "") << ";0;"
         << reading.stations.size();
    return report(status, line.str());
}

int usageError(const std::string& message) {
    return report(Unknown, message + " (stationctl check --help)");
}

int runCheck(const Arguments& args) {
    // The plugin's exit codes are its answer: every failure, a usage error included, is UNKNOWN.
    try {
        return check(args);
    } catch (const UsageError& e) {
        return usageError(e.what());
    } catch (...) {
        return report(Unknown, toError(std::current_exception()).text('-'));
    }
}

constexpr std::array kCheckOptions = {OptionSpec{"--credentials", true}, OptionSpec{"-w", true},
                                      OptionSpec{"-c", true}};

} // namespace

const Command kCheckCommand{
    "check",
    "a Nagios/Icinga plugin: the stations connected against thresholds",
    "Usage: stationctl check FILE [--credentials CREDFILE] [-w RANGE] [-c RANGE]\n"
    "Refreshes FILE once and prints one plugin line, for instance\n"
    "  ORVENDAL OK - 5 de 12 estaciones conectadas | connected=5;8;10;0;12\n"
    "Exit status: 0 OK, 1 WARNING (-w's range alerts), 2 CRITICAL (-c's range alerts),\n"
    "3 UNKNOWN (FILE cannot be read, is missing or not a file, or the arguments are wrong).\n"
    "RANGE as the Monitoring Plugins guidelines give it: N alerts outside 0..N, N: below N,\n"
    "~:N above N, N:M outside N..M, @N:M inside N..M (ends included).\n\n"
    "  --credentials CREDFILE  for smb:// files, as status takes it\n"
    "  -w RANGE, -c RANGE      warning and critical thresholds on the stations connected\n",
    kCheckOptions,
    runCheck,
    usageError};

} // namespace orvendal::stationctl
