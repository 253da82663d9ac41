#include "commandline.h"

#include "arguments.h"
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
    static constexpr OptionSpec kOptions[] = {
        {"--help"}, {"-h"}, {"--version"}, {"--credentials", true, "un fichero", true}};
    const Arguments given(args, kOptions, "opción desconocida: ");
    CommandLine line{given.has("--help") || given.has("-h"), given.has("--version"),
                     given.value("--credentials"), std::nullopt};
    const std::vector<std::string>& files = given.positionals();
    if (files.size() > 1) {
        throw UsageError("solo se puede indicar un fichero de estaciones (se han dado \"" +
                         files[0] + "\" y \"" + files[1] + "\")");
    }
    if (!files.empty()) {
        if (files[0].empty()) {
            throw UsageError("el nombre del fichero de estaciones está vacío");
        }
        line.stationFile = files[0];
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

CommandLine takeCommandLine(const std::vector<std::string>& args) {
    files::refusePasswordsInArguments(args);
    CommandLine line = parseCommandLine(args);
    if (line.stationFile) {
        files::requireParsableSmbPath(*line.stationFile);
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
