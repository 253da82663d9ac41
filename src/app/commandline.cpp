#include "commandline.h"

#include "error.h"
#include "smbfile.h"
#include "smburl.h"

#include <algorithm>
#include <string_view>

namespace orvendal::app {

const char* const kUsage =
    "Uso: orvendal [--credentials FICHERO] [FICHERO-DE-ESTACIONES]\n"
    "Muestra qué puestos están conectados a un fichero de estaciones: cada refresco lista sus\n"
    "registros, y un registro que un puesto tiene bloqueado es una estación conectada.\n\n"
    "  FICHERO-DE-ESTACIONES\n"
    "                el fichero de estaciones que se vigila. Si no se da, el que indica la\n"
    "                línea station-file= de ~/.config/orvendal/orvendal.conf o, si esta no la\n"
    "                tiene, de /etc/orvendal/orvendal.conf; si ninguna lo indica, MARLOVEN.SIT\n"
    "                junto al programa.\n"
    "                smb://[DOMINIO;][USUARIO@]SERVIDOR[:PUERTO]/RECURSO/CARPETA/MARLOVEN.SIT\n"
    "                lo lee de un servidor Windows o Samba sin montarlo.\n"
    "  --credentials FICHERO\n"
    "                para ficheros smb://: líneas username=, password= y domain=, como las lee\n"
    "                mount.cifs; ha de ser un fichero normal suyo que no dé ningún permiso a\n"
    "                su grupo ni a los demás (chmod 600).\n"
    "                Sin él se usa un tique de Kerberos, o la ventana pide la contraseña.\n"
    "  -h, --help    este texto\n"
    "  --version     la versión del programa\n"
    "Se aceptan además las opciones propias de Qt (-platform, -display, -style...).\n";

const char* const kVersionLine = "orvendal " ORVENDAL_VERSION "\n";

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--help" || arg == "-h")) {
            line.help = true;
        } else if (options && arg == "--version") {
            line.version = true;
        } else if (options && (arg == "--credentials" || arg.starts_with("--credentials="))) {
            if (line.credentialsFile) {
                throw UsageError("--credentials aparece dos veces");
            }
            if (arg == "--credentials" && i + 1 == args.size()) {
                throw UsageError("--credentials necesita un fichero");
            }
            line.credentialsFile =
                arg == "--credentials" ? args[++i] : arg.substr(sizeof("--credentials=") - 1);
            if (line.credentialsFile->empty()) {
                throw UsageError("--credentials necesita un fichero");
            }
        } else if (options && arg.size() > 1 && arg.front() == '-') {
            throw UsageError("opción desconocida: " + arg);
        } else if (line.stationFile) {
            throw UsageError("solo se puede indicar un fichero de estaciones (se han dado \"" +
                             *line.stationFile + "\" y \"" + arg + "\")");
        } else if (arg.empty()) {
            throw UsageError("el nombre del fichero de estaciones está vacío");
        } else {
            line.stationFile = arg;
        }
    }
    return line;
}

std::vector<std::string> takeQtOptions(std::vector<std::string>& args) {
    // QGuiApplication's and QApplication's documented options: those followed by a value, then
    // those that stand alone. -style and -stylesheet may also carry theirs after '='.
    static constexpr std::string_view kWithValue[] = {
        "-platform",        "-platformpluginpath", "-platformtheme", "-plugin",
        "-qwindowgeometry", "-qwindowicon",        "-qwindowtitle",  "-session",
        "-display",         "-geometry",           "-style",         "-stylesheet"};
    static constexpr std::string_view kAlone[] = {"-reverse", "-widgetcount"};
    static constexpr std::string_view kWithEquals[] = {
        "-style=", "-stylesheet=", "-qmljsdebugger="};
    const auto among = [](const auto& names, std::string_view name) {
        return std::find(std::begin(names), std::end(names), name) != std::end(names);
    };
    std::vector<std::string> qt;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        // Qt reads "--platform" as "-platform".
        const std::string_view name = std::string_view(arg).substr(arg.starts_with("--") ? 1 : 0);
        if (among(kWithValue, name)) {
            if (i + 1 == args.size()) {
                throw UsageError("la opción de Qt " + arg + " necesita un valor");
            }
            qt.push_back(arg);
            qt.push_back(args[++i]);
        } else if (among(kAlone, name) ||
                   std::any_of(std::begin(kWithEquals), std::end(kWithEquals),
                               [&](std::string_view prefix) { return name.starts_with(prefix); })) {
            qt.push_back(arg);
        } else {
            rest.push_back(arg);
        }
    }
    args = std::move(rest);
    return qt;
}

bool asksForHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

void refusePasswords(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        try {
            files::refusePasswordInArgument(arg);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
}

CommandLine takeCommandLine(const std::vector<std::string>& args) {
    // First: the other usage errors repeat arguments.
    refusePasswords(args);
    CommandLine line = parseCommandLine(args);
    // An address that cannot be read is told now, not as an outage of every refresh.
    if (line.stationFile && files::isSmbPath(*line.stationFile)) {
        try {
            files::parseSmbPath(*line.stationFile);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
    if (line.credentialsFile) {
        try {
            files::useCredentialsFile(*line.credentialsFile);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
    return line;
}

} // namespace orvendal::app
