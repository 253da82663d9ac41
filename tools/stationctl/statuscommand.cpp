// status and where: what the monitor shows for a station file, and which file it opens.
#include "collectedlist.h"
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "json.h"
#include "recordfile.h"
#include "smbfile.h"
#include "smburl.h"
#include "stationfilesetting.h"
#include "stationmonitor.h"
#include "stationpath.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <vector>

namespace orvendal::stationctl {
namespace {

using station::CollectedList;
using station::CollectedWindow;
using station::StationMonitor;

std::int64_t numberCell(const std::u16string& text) {
    const auto number = station::parseRowNumber(text);
    if (!number) {
        throw Error(errc::Unexpected, "el monitor dio \"" + toUtf8(text) + "\" como número");
    }
    return *number;
}

// The header's Tally as the caption shows it, right after the label.
std::int64_t captionTally(std::u16string_view caption) {
    caption.remove_prefix(std::min(caption.size(), StationMonitor::kCaptionLabel.size()));
    const auto digits = caption.find_first_not_of(u"0123456789");
    return numberCell(std::u16string(caption.substr(0, digits)));
}

void printJson(const std::u16string& caption, const CollectedList& list, std::uint64_t total) {
    std::cout << "{\"tally\": " << captionTally(caption)
              << ", \"lock\": " << (caption.ends_with(StationMonitor::kLockMark) ? "true" : "false")
              << ", \"rows\": [";
    const char* separator = "";
    for (const auto& row : list.rows()) {
        std::cout << separator << "{\"rec\": " << numberCell(row[0])
                  << ", \"lc\": " << jsonString(row[1])
                  << ", \"connected\": " << (row[2] == StationMonitor::kTrueWord ? "true" : "false")
                  << ", \"station\": " << numberCell(row[3])
                  << ", \"connection\": " << jsonString(row[4])
                  << ", \"name\": " << jsonString(row[5]) << ", \"tally\": " << numberCell(row[6])
                  << "}";
        separator = ", ";
    }
    std::cout << "], \"total\": " << total << "}\n";
}

void printTable(const std::u16string& caption, const CollectedList& list) {
    std::cout << toUtf8(printable(caption)) << '\n';
    if (list.rows().empty()) {
        std::cout << "(sin registros de puesto)\n";
        return;
    }
    const auto& headings = list.headings();
    std::vector<std::size_t> widths;
    for (std::size_t c = 0; c < headings.size(); ++c) {
        std::size_t width = headings[c].size();
        for (const auto& row : list.rows()) {
            width = std::max(width, row[c].size());
        }
        widths.push_back(width);
    }
    // Numbers right-aligned: the row, the station number and the tally.
    const auto line = [&](const auto& cells) {
        std::u16string out;
        for (std::size_t c = 0; c < widths.size(); ++c) {
            const std::u16string cell = printable(std::u16string(cells[c]));
            const std::u16string pad(widths[c] - cell.size(), u' ');
            const bool right = c == 0 || c == 3 || c == 6;
            out += (right ? pad + cell : cell + pad) + (c + 1 < widths.size() ? u"  " : u"");
        }
        std::cout << toUtf8(out) << '\n';
    };
    line(headings);
    for (const auto& row : list.rows()) {
        line(row);
    }
}

// The refresh's error box, "<number>-<description>", as the error it reports.
Error refreshFailure(const std::string& path, const std::vector<std::u16string>& messages) {
    const std::string box = messages.empty() ? "" : toUtf8(messages.front());
    const auto dash = box.find('-');
    std::error_code number = errc::Unexpected;
    if (dash != std::string::npos && dash > 0 && box.find_first_not_of("0123456789") == dash) {
        number = errnoCode(std::stoi(box.substr(0, dash)));
    }
    return Error(number, "no se puede leer " + path + ": " +
                             (dash == std::string::npos ? box : box.substr(dash + 1)));
}

int runStatus(const Arguments& args) {
    args.expectPositionals(1, "FICHERO");
    const std::string& path = args.positionals()[0];
    // The monitor creates a missing file; status only looks.
    openForOneRefresh(args, path);

    CollectedList list;
    CollectedWindow window;
    StationMonitor monitor(window, list,
                           std::make_shared<station::StationReader>(
                               station::ReaderOptions{.limit = station::kHeadlessReadLimit}));
    monitor.MLP_SetFileName(path);
    monitor.MLP_Show();
    monitor.CloseStationFile();
    if (monitor.inOutage()) {
        throw refreshFailure(path, window.messages());
    }
    if (args.has("--json")) {
        printJson(window.caption(), list, monitor.stationRecords());
    } else {
        printTable(window.caption(), list);
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
