// status and where: what the monitor shows for a station file, and which file it opens.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "json.h"
#include "recordfile.h"
#include "smbfile.h"
#include "smburl.h"
#include "stationfilesetting.h"
#include "stationpath.h"
#include "stationreader.h"
#include "stationtexts.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <vector>

namespace orvendal::stationctl {
namespace {

using station::fieldText;
using station::StationReading;

void printJson(const StationReading& reading, bool lock) {
    std::cout << "{\"tally\": " << static_cast<unsigned>(reading.tally)
              << ", \"lock\": " << (lock ? "true" : "false") << ", \"rows\": [";
    const char* separator = "";
    std::uint64_t rec = 0;
    for (const auto& record : reading.stations) {
        std::cout << separator << "{\"rec\": " << ++rec
                  << ", \"lc\": " << jsonString(fieldText(record.Lc))
                  << ", \"connected\": " << (record.Connected != station::kFalse ? "true" : "false")
                  << ", \"station\": " << record.StationNumber
                  << ", \"connection\": " << jsonString(fieldText(record.ConnectionText))
                  << ", \"name\": " << jsonString(fieldText(record.StationName))
                  << ", \"tally\": " << static_cast<unsigned>(record.Tally) << "}";
        separator = ", ";
    }
    std::cout << "], \"total\": " << reading.stationRecords() << "}\n";
}

// The window's caption and list as a table, each column as wide as its widest cell.
void printTable(const StationReading& reading, bool lock) {
    std::cout << toUtf8(printable(ui::stationCaption(reading, lock))) << '\n';
    if (reading.stations.empty()) {
        std::cout << "(sin registros de puesto)\n";
        return;
    }
    std::vector<ui::StationRow> rows;
    rows.reserve(reading.stations.size());
    for (const auto& record : reading.stations) {
        rows.emplace_back(static_cast<std::int32_t>(rows.size() + 1), record);
    }
    const auto& headings = ui::kHeadings;
    std::vector<std::size_t> widths;
    for (std::size_t c = 0; c < headings.size(); ++c) {
        std::size_t width = headings[c].size();
        for (const auto& row : rows) {
            width = std::max(width, row[c].size());
        }
        widths.push_back(width);
    }
    // Numbers right-aligned: the row, the station number and the tally.
    const auto line = [&](const auto& cells) {
        std::u16string out;
        for (std::size_t c = 0; c < widths.size(); ++c) {
            const std::u16string cell = printable(cells[c]);
            const std::u16string pad(widths[c] - cell.size(), u' ');
            const bool right = c == 0 || c == 3 || c == 6;
            out += (right ? pad + cell : cell + pad) + (c + 1 < widths.size() ? u"  " : u"");
        }
        std::cout << toUtf8(out) << '\n';
    };
    line(headings);
    for (const auto& row : rows) {
        line(row);
    }
}

int runStatus(const Arguments& args) {
    args.expectPositionals(1, "FICHERO");
    const std::string& path = args.positionals()[0];
    // The monitor creates a missing file; status only looks.
    openForOneRefresh(args, path);

    // A file shorter than its header is refused, as check refuses it: no count of stations can
    // be read from it, and an empty table would read as a file without stations.
    station::StationReader reader(
        station::ReaderOptions{.requireHeader = true, .limit = station::kHeadlessReadLimit});
    const StationReading reading = reader.read(path);
    reader.CloseStationFile();
    if (const Error* error = reading.outage()) {
        throw Error(error->code(), "no se puede leer " + path + ": " + error->description());
    }
    const bool lock = ui::lockMarkerExists();
    if (args.has("--json")) {
        printJson(reading, lock);
    } else {
        printTable(reading, lock);
    }
    return 0;
}

int runWhere(const Arguments& args) {
    args.expectPositionals(0, "");
    // The path alone on standard output, for scripts; where it came from on standard error.
    const auto setting = files::configuredStationFile();
    std::cout << (setting ? setting->stationFile : station::defaultStationFileName()) << std::endl;
    std::cerr << (setting ? "(de " + printable(setting->settingsFile) + ")" : "(junto al programa)")
              << '\n';
    return 0;
}

constexpr std::array kStatusOptions = {OptionSpec{"--json", false},
                                       OptionSpec{"--credentials", true}};

} // namespace

const Command kStatusCommand{
    "status", "lo que el monitor mostraría ahora de un fichero de estaciones",
    "Uso: stationctl status FICHERO [--json] [--credentials CREDENCIALES]\n"
    "Hace el mismo refresco que el monitor sobre FICHERO y escribe lo que este mostraría\n"
    "ahora: el título (el contador de la cabecera, y \" LOCK\" si existe out.vrl en la carpeta\n"
    "actual) y una fila por registro de puesto; un registro que otro proceso tiene bloqueado\n"
    "es un puesto conectado. Nunca escribe en FICHERO y, a diferencia del monitor, nunca lo\n"
    "crea si falta.\n"
    "Estado de salida: 0 si lo ha leído; 1, sin escribir nada por la salida estándar, si\n"
    "FICHERO falta, no es un fichero normal, no se puede leer o es más corto que su cabecera\n"
    "de 81 bytes (uno vacío incluido).\n"
    "FICHERO puede ser smb://[DOMINIO;][USUARIO@]SERVIDOR[:PUERTO]/RECURSO/RUTA: el fichero\n"
    "en un servidor Windows o Samba, leído sin montarlo; allí un puesto conectado es un\n"
    "registro cuya lectura rechaza el servidor. La contraseña sale de un tique de Kerberos o\n"
    "de CREDENCIALES.\n\n"
    "  --credentials CREDENCIALES\n"
    "           para ficheros smb://: líneas username=, password= y domain=, como las lee\n"
    "           mount.cifs; se rechaza salvo que sea un fichero normal suyo que no dé ningún\n"
    "           permiso a su grupo ni a los demás (chmod 600)\n"
    "  --json   un objeto JSON en vez de la tabla:\n"
    "           {\"tally\": N, \"lock\": BOOL, \"rows\": [{\"rec\": FILA, \"lc\": TEXTO,\n"
    "           \"connected\": BOOL, \"station\": N, \"connection\": TEXTO, \"name\": TEXTO,\n"
    "           \"tally\": N}, ...], \"total\": N}, con los textos en todo su ancho guardado;\n"
    "           total son los registros de puesto de FICHERO, que admite como mucho 1000000.\n",
    kStatusOptions, runStatus};

const Command kWhereCommand{
    "where",
    "escribe la ruta del fichero de estaciones que abre el monitor",
    "Uso: stationctl where\n"
    "Escribe el fichero de estaciones que abre el monitor cuando no se le da ninguno: el que\n"
    "nombra la línea station-file= de ~/.config/orvendal/orvendal.conf ($XDG_CONFIG_HOME) o, si\n"
    "no, la de /etc/orvendal/orvendal.conf (en Linux); si no, MARLOVEN.SIT en la carpeta del\n"
    "ejecutable del monitor. El monitor (orvendal) se instala junto a stationctl, así que es la\n"
    "carpeta del propio stationctl, según su imagen en ejecución (siguiendo los enlaces\n"
    "simbólicos). La ruta sale sola por la salida estándar; la salida de errores dice de dónde\n"
    "viene: \"(de FICHERO)\" o \"(junto al programa)\".\n",
    {},
    runWhere};

} // namespace orvendal::stationctl
