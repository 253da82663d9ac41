// check: one refresh as a Nagios/Icinga plugin, thresholds on the stations connected.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "stationmonitor.h"
#include "stationpath.h"
#include "thresholdrange.h"

#include <array>
#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>

namespace orvendal::stationctl {
namespace {

enum Status { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };
constexpr std::array<const char*, 4> kStatusWords = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
// The monitor's: a header locked for less than a refresh is no outage to it either.
constexpr std::chrono::milliseconds kRefreshInterval{500};

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
    station::StationReader reader(station::headlessReaderOptions(kRefreshInterval));
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
    "3 UNKNOWN (FILE cannot be read, is missing, not a file or shorter than its 81-byte\n"
    "header, or the arguments are wrong).\n"
    "RANGE as the Monitoring Plugins guidelines give it: N alerts outside 0..N, N: below N,\n"
    "~:N above N, N:M outside N..M, @N:M inside N..M (ends included).\n\n"
    "  --credentials CREDFILE  for smb:// files, as status takes it\n"
    "  -w RANGE, -c RANGE      warning and critical thresholds on the stations connected\n",
    kCheckOptions,
    runCheck,
    usageError};

} // namespace orvendal::stationctl
