// status and where: what the monitor shows for a station file, and which file it opens.
#include "columns.h"
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "json.h"
#include "smbfile.h"
#include "smburl.h"
#include "stationfilesetting.h"
#include "stationpath.h"
#include "stationreader.h"
#include "stationtexts.h"
#include "statusjson.h"
#include "text.h"

#include <array>
#include <iostream>
#include <vector>

namespace orvendal::stationctl {
namespace {

using station::StationReading;

// The window's caption and list as a table.
void printTable(const StationReading& reading, bool lock) {
    std::cout << toUtf8(printable(ui::stationCaption(reading, lock))) << '\n';
    if (reading.stations.empty()) {
        std::cout << "(sin registros de puesto)\n";
        return;
    }
    std::vector<std::string> headings;
    for (const std::u16string_view heading : ui::kHeadings) {
        headings.push_back(toUtf8(heading));
    }
    // Numbers right-aligned: the row, the station number and the tally.
    Columns table(std::move(headings), {true, false, false, true, false, false, true});
    std::int32_t number = 0;
    for (const auto& record : reading.stations) {
        const ui::StationRow row(++number, record);
        std::vector<std::string> cells;
        for (std::size_t c = 0; c < row.size(); ++c) {
            cells.push_back(toUtf8(row[c]));
        }
        table.addRow(std::move(cells));
    }
    table.print(std::cout);
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
        JsonWriter json(std::cout);
        station::writeStatusJson(json, reading, lock);
        std::cout << '\n';
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
