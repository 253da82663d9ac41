// check: one refresh as a Nagios/Icinga plugin, thresholds on the stations connected.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "stationpath.h"
#include "stationreader.h"
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

// The short and the long form are one option, as in the Monitoring Plugins' guidelines.
std::optional<Range> threshold(const Arguments& args, const std::string& shortForm,
                               const std::string& longForm) {
    const auto given = args.has(shortForm) ? args.value(shortForm) : args.value(longForm);
    if (args.has(shortForm) && args.has(longForm)) {
        throw UsageError(shortForm + " y " + longForm + " son la misma opción: indique solo una");
    }
    return given ? std::optional(parseRange(*given)) : std::nullopt;
}

int check(const Arguments& args) {
    args.expectPositionals(1, "FICHERO");
    const std::string& path = args.positionals()[0];
    const std::optional<Range> warning = threshold(args, "-w", "--warning");
    const std::optional<Range> critical = threshold(args, "-c", "--critical");
    openForOneRefresh(args, path);
    station::StationReader reader(station::headlessReaderOptions(kRefreshInterval));
    const station::StationReading reading = reader.read(path);
    reader.CloseStationFile();
    if (const Error* error = reading.outage()) {
        return report(Unknown, "sin acceso a " + path + ": " + error->text('-'));
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
         << " puestos conectados | connected=" << connected << ';' << (warning ? warning->text : "")
         << ';' << (critical ? critical->text : "") << ";0;" << reading.stations.size();
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
                                      OptionSpec{"--warning", true}, OptionSpec{"-c", true},
                                      OptionSpec{"--critical", true}};

} // namespace

const Command kCheckCommand{
    "check",
    "un plugin de Nagios/Icinga: los puestos conectados frente a umbrales",
    "Uso: stationctl check FICHERO [--credentials CREDENCIALES] [-w RANGO] [-c RANGO]\n"
    "Refresca FICHERO una vez y escribe una línea de plugin, por ejemplo\n"
    "  ORVENDAL OK - 5 de 12 puestos conectados | connected=5;8;10;0;12\n"
    "Estado de salida: 0 OK, 1 WARNING (alerta el rango de -w), 2 CRITICAL (alerta el de -c),\n"
    "3 UNKNOWN (FICHERO no se puede leer, falta, no es un fichero o es más corto que su\n"
    "cabecera de 81 bytes, o los argumentos están mal).\n"
    "RANGO como lo dan las pautas de los Monitoring Plugins: N alerta fuera de 0..N, N: por\n"
    "debajo de N, ~:N por encima de N, N:M fuera de N..M, @N:M dentro de N..M (extremos\n"
    "incluidos).\n\n"
    "  --credentials CREDENCIALES  para ficheros smb://, como en status\n"
    "  -w, --warning RANGO         umbral de aviso sobre los puestos conectados\n"
    "  -c, --critical RANGO        umbral crítico sobre los puestos conectados\n",

    kCheckOptions,
    runCheck,
    usageError};

} // namespace orvendal::stationctl
