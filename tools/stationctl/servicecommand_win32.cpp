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
#include "watchoptions.h"
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

// The password that the installer writes on standard input, one line of UTF-8: a pipe that only
// it and this process hold, never seen on a command line, in the registry or in a log.
std::wstring readPassword() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string line;
    char c = 0;
    DWORD got = 0;
    while (line.size() < 1024 && ::ReadFile(input, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::wstring password = files::wide(line);
    ::SecureZeroMemory(line.data(), line.size());
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

std::wstring serviceOf(const Arguments& args) {
    return serviceName(args.value("--name"));
}

// A service runs the program it names at every boot: a copy on a server's share may change or be
// missing then, and whoever may write the share would run code as the service.
void refuseProgramOnShare(const std::wstring& program) {
    if (onNetworkShare(program)) {
        throw UsageError(files::narrow(program) +
                         " está en una carpeta de red: el servicio ejecutaría esa copia, que "
                         "cambia con el servidor y falta cuando este no responde. Instale "
                         "Orvendal en este equipo y use su stationctl.exe");
    }
}

// The options the service's watcher takes as `watch` does, passed as they are.
constexpr std::array kPassedThrough = {"--on-change", "--interval", "--retain", "--hook-timeout"};

int install(const Arguments& args) {
    args.expectPositionals(2, "install FICHERO");
    if (args.has("--credentials")) {
        throw UsageError("--credentials: en Windows el servicio entra en el servidor de ficheros "
                         "con su propia cuenta (--account DOMINIO\\USUARIO), no con un fichero "
                         "de credenciales");
    }
    const std::wstring name = serviceOf(args);
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
    const std::wstring program = programPath();
    refuseProgramOnShare(program);

    // The watcher's arguments, read as the service's start reads them and checked as `watch`
    // checks them at its start: what would stop the service is refused before it exists.
    std::vector<std::string> watch = {files::narrow(station)};
    if (const auto given = args.value("--journal")) {
        watch.insert(watch.end(), {"--journal", files::narrow(absolutePath(*given))});
    }
    if (const auto given = args.value("--prometheus")) {
        watch.insert(watch.end(), {"--prometheus", files::narrow(absolutePath(*given))});
    }
    for (const char* option : kPassedThrough) {
        if (const auto value = args.value(option)) {
            watch.insert(watch.end(), {option, *value});
        }
    }
    watch::checkStart(watchOptions(Arguments(watch, kWatchCommand.options)));

    const ScHandle manager =
        openManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
    std::optional<std::wstring> exporter;
    if (!args.has("--prometheus") && (exporter = exporterFolder(manager.get()))) {
        watch.insert(watch.end(),
                     {"--prometheus", files::narrow(*exporter + L"\\" + defaultTextfileName(name))});
    }
    if (!args.has("--journal")) {
        // The default journal's folder, made for this service alone.
        watch.insert(watch.end(), {"--journal", files::narrow(makeDataFolder(name) + L"\\journal.db")});
    }
    const watch::Options options = watchOptions(Arguments(watch, kWatchCommand.options));
    watch::checkStart(options);

    std::vector<std::wstring> arguments;
    if (name != kName) {
        arguments = {L"--name", instanceOf(name)};
    }
    for (const std::string& argument : watch) {
        arguments.push_back(files::wide(argument));
    }
    const std::wstring commandLine = serviceCommandLine(program, arguments);

    std::optional<std::wstring> password;
    if (!needsNoPassword(account)) {
        password = args.has("--password-stdin") ? readPassword() : promptPassword(account);
    }
    installService(manager.get(), name, program, commandLine, account, std::move(password),
                   exporter);
    std::cout << "Servicio " << files::narrow(name) << " instalado: vigila " << printable(files::narrow(station))
              << " con la cuenta " << printable(files::narrow(account))
              << ".\nDiario: " << printable(*options.journal)
              << "\nFichero de texto de Prometheus: "
              << (options.textfile ? printable(*options.textfile)
                                   : "ninguno (windows_exporter no está instalado)")
              << "\nArranca con Windows; arránquelo ahora con «stationctl service start"
              << (name == kName ? "" : " --name " + files::narrow(instanceOf(name))) << "».\n";
    return 0;
}

// The services an action names: --name's, every one with --all, or Orvendal.
std::vector<std::wstring> servicesOf(const Arguments& args, SC_HANDLE manager) {
    if (!args.has("--all")) {
        return {serviceOf(args)};
    }
    if (args.has("--name")) {
        throw UsageError("--all y --name no van juntas");
    }
    return watcherServices(manager);
}

int remove(const Arguments& args) {
    args.expectPositionals(1, "remove");
    const ScHandle manager = openManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
    for (const std::wstring& name : servicesOf(args, manager.get())) {
        const std::optional<Config> config = removeService(manager.get(), name);
        if (!config) {
            std::cout << "El servicio " << files::narrow(name) << " no está instalado.\n";
            continue;
        }
        std::cout << "Servicio " << files::narrow(name) << " quitado.";
        if (const auto journal = commandLineOption(config->commandLine, L"--journal")) {
            std::cout << " Su diario se conserva: " << printable(files::narrow(*journal));
        }
        std::cout << '\n';
    }
    return 0;
}

int stop(const Arguments& args) {
    args.expectPositionals(1, "stop");
    const ScHandle manager = openManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
    for (const std::wstring& name : servicesOf(args, manager.get())) {
        if (stopService(manager.get(), name)) {
            std::cout << "Servicio " << files::narrow(name) << " detenido.\n";
        }
    }
    return 0;
}

int start(const Arguments& args) {
    args.expectPositionals(1, "start");
    const std::wstring name = serviceOf(args);
    const ScHandle manager = openManager(SC_MANAGER_CONNECT);
    startService(manager.get(), name);
    std::cout << "Servicio " << files::narrow(name) << " en marcha.\n";
    return 0;
}

int update(const Arguments& args) {
    args.expectPositionals(1, "update");
    const std::wstring name = serviceOf(args);
    const std::wstring program = programPath();
    refuseProgramOnShare(program);
    const ScHandle manager = openManager(SC_MANAGER_CONNECT);
    pointServiceAt(manager.get(), name, program);
    std::cout << "El servicio " << files::narrow(name) << " ejecuta " << printable(files::narrow(program))
              << " con las mismas opciones y la misma cuenta.\n";
    return 0;
}

// 0 running, 3 installed and not running, 4 not installed, as `systemctl status` answers.
int status(const Arguments& args) {
    args.expectPositionals(1, "status");
    const std::wstring name = serviceOf(args);
    const ScHandle manager = openManager(SC_MANAGER_CONNECT);
    const ScHandle service =
        openService(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) {
        std::cout << "El servicio " << files::narrow(name) << " no está instalado.\n";
        return 4;
    }
    const SERVICE_STATUS_PROCESS state = queryStatus(service.get());
    const Config config = queryConfig(service.get());
    std::cout << files::narrow(name) << ": " << stateText(state)
              << "\nOrden: " << printable(files::narrow(config.commandLine))
              << "\nCuenta: " << printable(files::narrow(config.account)) << '\n';
    if (const auto failure = lastFailure(name)) {
        std::cout << "Último fallo: " << printable(*failure) << '\n';
    }
    return state.dwCurrentState == SERVICE_RUNNING ? 0 : 3;
}

int run(const Arguments& args) {
    args.expectPositionals(2, "run FICHERO");
    const std::wstring name = serviceOf(args);
    std::vector<std::string> watch = {args.positionals()[1]};
    for (const OptionSpec& option : kWatchCommand.options) {
        if (const auto value = args.value(option.name)) {
            watch.push_back(std::string(option.name));
            watch.push_back(*value);
        }
    }
    // Read once the service is starting, so that a wrong one reaches the Event Log.
    return runAsService(name, watch.front(),
                        [&] { return watchOptions(Arguments(watch, kWatchCommand.options)); });
}

int runService(const Arguments& args) {
    const std::string action = args.positionals().empty() ? "" : args.positionals()[0];
    using Action = int (*)(const Arguments&);
    for (const auto& [known, handler] : {std::pair<const char*, Action>{"install", install},
                                         {"remove", remove},
                                         {"status", status},
                                         {"start", start},
                                         {"stop", stop},
                                         {"update", update},
                                         {"run", run}}) {
        if (action == known) {
            return handler(args);
        }
    }
    throw UsageError((action.empty() ? "falta la acción" : "acción desconocida «" + action + "»") +
                     std::string(": install, remove, status, start, stop o update"));
}

constexpr std::array kServiceOptions = {
    OptionSpec{"--journal", true},
    OptionSpec{"--prometheus", true},
    OptionSpec{"--on-change", true},
    OptionSpec{"--account", true},
    OptionSpec{"--credentials", true},
    OptionSpec{"--interval", true},
    OptionSpec{"--retain", true},
    OptionSpec{"--hook-timeout", true},
    OptionSpec{"--name", true},
    OptionSpec{"--all", false},
    OptionSpec{"--password-stdin", false},
};

} // namespace

const Command kServiceCommand{
    "service", "el vigilante como servicio de Windows: instalarlo, quitarlo, su estado",
    "Uso: stationctl service install FICHERO [--name NOMBRE] [--journal BD] [--prometheus RUTA]\n"
    "                                [--on-change ORDEN] [--account DOMINIO\\USUARIO]\n"
    "                                [--retain DÍAS] [--hook-timeout S] [--interval MS]\n"
    "     stationctl service remove [--name NOMBRE | --all]\n"
    "     stationctl service status [--name NOMBRE]\n"
    "     stationctl service start [--name NOMBRE]\n"
    "     stationctl service stop [--name NOMBRE | --all]\n"
    "     stationctl service update [--name NOMBRE]\n"
    "install registra el servicio Orvendal («Orvendal: vigilante de estaciones»), que ejecuta\n"
    "stationctl watch FICHERO con esas opciones, arranca con Windows y, si falla, vuelve a\n"
    "arrancar al cabo de un minuto. Antes comprueba lo que watch comprueba al empezar, y se\n"
    "niega si el servicio no podría arrancar. Sus sucesos van también al Visor de eventos\n"
    "(registro Application, origen Orvendal). Arránquelo con «stationctl service start».\n"
    "  --name NOMBRE     otro servicio, Orvendal$NOMBRE, para otro fichero de estaciones, con\n"
    "                    su propio diario y su origen de eventos Orvendal$NOMBRE; NOMBRE lleva\n"
    "                    letras sin acentos, cifras, _ o -\n"
    "  --journal BD      el diario (%ProgramData%\\Orvendal\\journal.db, o\n"
    "                    %ProgramData%\\Orvendal\\NOMBRE\\journal.db, en una carpeta solo para\n"
    "                    los administradores, SYSTEM y el servicio)\n"
    "  --prometheus RUTA el fichero de texto (orvendal.prom, u orvendal-NOMBRE.prom, en la\n"
    "                    carpeta textfile_inputs de windows_exporter cuando está instalado; si\n"
    "                    no, ninguno)\n"
    "  --account CUENTA  la cuenta del servicio (NT AUTHORITY\\LocalService). Un fichero de un\n"
    "                    servidor (ruta UNC) necesita una cuenta que el servidor admita; su\n"
    "                    contraseña se pide en la consola sin mostrarla. Una cuenta de servicio\n"
    "                    administrada de grupo (DOMINIO\\nombre$) no la necesita\n"
    "  --password-stdin  lee la contraseña de la entrada estándar (la usa el instalador)\n"
    "  --on-change, --retain, --hook-timeout, --interval: como en stationctl watch\n"
    "remove detiene el servicio (espera 30 s como mucho) y lo quita con su origen de eventos;\n"
    "el diario se conserva. --all actúa sobre todos los servicios Orvendal. status dice su\n"
    "estado y el último fallo: 0 en marcha, 3 detenido, 4 no instalado. start lo arranca y\n"
    "espera a que vigile, o dice por qué se detuvo (net start solo da un código); stop lo\n"
    "detiene.\n"
    "update hace que el servicio ejecute este stationctl.exe, con sus opciones y su cuenta.\n"
    "Todas menos status necesitan un administrador. Estado 1 si algo falla.\n",
    kServiceOptions, runService};

} // namespace orvendal::stationctl
