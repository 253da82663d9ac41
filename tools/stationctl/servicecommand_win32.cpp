// service: the watcher as a Windows service, installed, removed, asked about, and run under the
// Service Control Manager.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "serviceconfig.h"
#include "servicecontrol.h"
#include "serviceruntime.h"
#include "smburl.h"
#include "watch.h"
#include "win32error.h"
#include "win32text.h"

#include <windows.h>

#include <array>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace orvendal::stationctl {
namespace {

using namespace watch::service;

bool isUncPath(std::wstring_view path) {
    return path.starts_with(L"\\\\") || path.starts_with(L"//");
}

// A password typed at the console without echo; refused anywhere else, since a password in a
// pipe or on the command line is visible to others.
std::wstring promptPassword(const std::wstring& account) {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &mode)) {
        throw UsageError("--account " + files::narrow(account) +
                         ": la contraseña de la cuenta solo se pide en una consola; ejecute "
                         "service install en el Símbolo del sistema, o use una cuenta de servicio "
                         "administrada de grupo (DOMINIO\\nombre$), que no la necesita");
    }
    std::wcerr.flush();
    std::cerr << "Contraseña de " << files::narrow(account) << ": " << std::flush;
    ::SetConsoleMode(input, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT);
    std::wstring password(512, L'\0');
    DWORD got = 0;
    const BOOL read =
        ::ReadConsoleW(input, password.data(), static_cast<DWORD>(password.size()), &got, nullptr);
    ::SetConsoleMode(input, mode);
    std::cerr << '\n';
    password.resize(read ? got : 0);
    while (!password.empty() && (password.back() == L'\n' || password.back() == L'\r')) {
        password.pop_back();
    }
    return password;
}

std::string stateText(const SERVICE_STATUS_PROCESS& status) {
    switch (status.dwCurrentState) {
    case SERVICE_RUNNING:
        return "en marcha (proceso " + std::to_string(status.dwProcessId) + ")";
    case SERVICE_START_PENDING:
        return "arrancando";
    case SERVICE_STOP_PENDING:
        return "deteniéndose";
    case SERVICE_STOPPED:
        if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
            return "detenido; terminó con el código " +
                   std::to_string(status.dwServiceSpecificExitCode);
        }
        return status.dwWin32ExitCode == NO_ERROR
                   ? "detenido"
                   : "detenido; " + files::windowsError(status.dwWin32ExitCode).text('-');
    default:
        return "en pausa";
    }
}

int install(const Arguments& args) {
    args.expectPositionals(2, "install FICHERO");
    if (args.has("--credentials")) {
        throw UsageError("--credentials: en Windows el servicio entra en el servidor de ficheros "
                         "con su propia cuenta (--account DOMINIO\\USUARIO), no con un fichero "
                         "de credenciales");
    }
    const std::string& file = args.positionals()[1];
    if (files::isSmbPath(file)) {
        throw UsageError(file + ": en Windows escriba la ruta UNC del fichero "
                                "(\\\\servidor\\recurso\\MARLOVEN.SIT), no una URL smb://");
    }
    const std::wstring station = absolutePath(file);
    // A drive letter that names a share exists only in the session of the user who mapped it.
    const std::wstring root = station.substr(0, 3);
    if (!isUncPath(station) && ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) {
        throw UsageError(file + ": " + files::narrow(root) +
                         " es una unidad de red de su sesión, que el servicio no ve; escriba la "
                         "ruta UNC (\\\\servidor\\recurso\\MARLOVEN.SIT)");
    }
    std::wstring account =
        args.value("--account") ? files::wide(*args.value("--account")) : kLocalService;
    if (isUncPath(station) && !args.has("--account")) {
        throw UsageError(file + ": un fichero de un servidor necesita una cuenta que el servidor "
                                "admita: --account DOMINIO\\USUARIO, una cuenta de servicio "
                                "administrada de grupo (DOMINIO\\nombre$), o \"NT "
                                "AUTHORITY\\NetworkService\" para entrar con la cuenta del equipo "
                                "en un dominio");
    }

    const ScHandle manager = openManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT);
    std::vector<std::wstring> watch = {station};
    const auto add = [&](const char* option, const std::wstring& value) {
        watch.push_back(files::wide(option));
        watch.push_back(value);
    };
    const std::wstring journal = args.value("--journal") ? absolutePath(*args.value("--journal"))
                                                         : makeDataFolder() + L"\\journal.db";
    add("--journal", journal);
    std::optional<std::wstring> textfile;
    std::optional<std::wstring> exporter;
    if (const auto given = args.value("--prometheus")) {
        textfile = absolutePath(*given);
    } else if ((exporter = exporterFolder(manager.get()))) {
        textfile = *exporter + L"\\orvendal.prom";
    }
    if (textfile) {
        add("--prometheus", *textfile);
    }
    for (const char* option : {"--on-change", "--interval", "--retain", "--hook-timeout"}) {
        if (const auto value = args.value(option)) {
            add(option, files::wide(*value));
        }
    }
    const std::wstring program = programPath();
    const std::wstring commandLine = serviceCommandLine(program, watch);

    std::optional<std::wstring> password;
    if (!needsNoPassword(account)) {
        password = promptPassword(account);
    }
    installService(manager.get(), program, commandLine, account, std::move(password), exporter);
    std::cout << "Servicio Orvendal instalado: vigila " << printable(files::narrow(station))
              << " con la cuenta " << printable(files::narrow(account))
              << ".\nDiario: " << printable(files::narrow(journal))
              << "\nFichero de texto de Prometheus: "
              << (textfile ? printable(files::narrow(*textfile))
                           : "ninguno (windows_exporter no está "
                             "instalado)")
              << "\nArranca con Windows; arránquelo ahora con «net start Orvendal».\n";
    return 0;
}

int remove(const Arguments& args) {
    args.expectPositionals(1, "remove");
    const ScHandle manager = openManager(SC_MANAGER_CONNECT);
    const std::optional<Config> config = removeService(manager.get());
    if (!config) {
        std::cout << "El servicio Orvendal no está instalado.\n";
        return 0;
    }
    std::cout << "Servicio Orvendal quitado.";
    if (const auto journal = commandLineOption(config->commandLine, L"--journal")) {
        std::cout << " Su diario se conserva: " << printable(files::narrow(*journal));
    }
    std::cout << '\n';
    return 0;
}

// 0 running, 3 installed and not running, 4 not installed, as `systemctl status` answers.
int status(const Arguments& args) {
    args.expectPositionals(1, "status");
    const ScHandle manager = openManager(SC_MANAGER_CONNECT);
    const ScHandle service =
        openService(manager.get(), kName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) {
        std::cout << "El servicio Orvendal no está instalado.\n";
        return 4;
    }
    const SERVICE_STATUS_PROCESS state = queryStatus(service.get());
    const Config config = queryConfig(service.get());
    std::cout << "Orvendal: " << stateText(state)
              << "\nOrden: " << printable(files::narrow(config.commandLine))
              << "\nCuenta: " << printable(files::narrow(config.account)) << '\n';
    return state.dwCurrentState == SERVICE_RUNNING ? 0 : 3;
}

int run(const Arguments& args) {
    args.expectPositionals(2, "run FICHERO");
    std::vector<std::string> watch = {args.positionals()[1]};
    for (const OptionSpec& option : kWatchCommand.options) {
        if (const auto value = args.value(option.name)) {
            watch.push_back(std::string(option.name));
            watch.push_back(*value);
        }
    }
    // Read once the service has started, so that a wrong one reaches the Event Log.
    return runAsService(watch.front(),
                        [&] { return watchOptions(Arguments(watch, kWatchCommand.options)); });
}

int runService(const Arguments& args) {
    const std::string action = args.positionals().empty() ? "" : args.positionals()[0];
    if (action == "install") {
        return install(args);
    }
    if (action == "remove") {
        return remove(args);
    }
    if (action == "status") {
        return status(args);
    }
    if (action == "run") {
        return run(args);
    }
    throw UsageError(action.empty()
                         ? "falta la acción: install, remove o status"
                         : "acción desconocida «" + action + "»: install, remove o status");
}

constexpr std::array kServiceOptions = {
    OptionSpec{"--journal", true},     OptionSpec{"--prometheus", true},
    OptionSpec{"--on-change", true},   OptionSpec{"--account", true},
    OptionSpec{"--credentials", true}, OptionSpec{"--interval", true},
    OptionSpec{"--retain", true},      OptionSpec{"--hook-timeout", true},
};

} // namespace

const Command kServiceCommand{
    "service", "el vigilante como servicio de Windows: instalarlo, quitarlo, su estado",
    "Uso: stationctl service install FICHERO [--journal BD] [--prometheus RUTA]\n"
    "                                [--on-change ORDEN] [--account DOMINIO\\USUARIO]\n"
    "                                [--retain DÍAS] [--hook-timeout S] [--interval MS]\n"
    "     stationctl service remove\n"
    "     stationctl service status\n"
    "install registra el servicio Orvendal («Orvendal: vigilante de estaciones»), que ejecuta\n"
    "stationctl watch FICHERO con esas opciones, arranca con Windows y, si falla, vuelve a\n"
    "arrancar al cabo de un minuto. Sus sucesos van también al Visor de eventos (registro\n"
    "Application, origen Orvendal). Arránquelo con «net start Orvendal».\n"
    "  --journal BD      el diario (%ProgramData%\\Orvendal\\journal.db, en una carpeta solo\n"
    "                    para los administradores, SYSTEM y el servicio)\n"
    "  --prometheus RUTA el fichero de texto (orvendal.prom en la carpeta textfile_inputs de\n"
    "                    windows_exporter cuando está instalado; si no, ninguno)\n"
    "  --account CUENTA  la cuenta del servicio (NT AUTHORITY\\LocalService). Un fichero de un\n"
    "                    servidor (ruta UNC) necesita una cuenta que el servidor admita; su\n"
    "                    contraseña se pide en la consola sin mostrarla. Una cuenta de servicio\n"
    "                    administrada de grupo (DOMINIO\\nombre$) no la necesita\n"
    "  --on-change, --retain, --hook-timeout, --interval: como en stationctl watch\n"
    "remove detiene el servicio (espera 30 s como mucho) y lo quita con su origen de eventos;\n"
    "el diario se conserva. status dice su estado: 0 en marcha, 3 detenido, 4 no instalado.\n"
    "install y remove necesitan un administrador. Estado 1 si algo falla.\n",
    kServiceOptions, runService};

} // namespace orvendal::stationctl
