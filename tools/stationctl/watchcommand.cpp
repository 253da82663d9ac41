// watch: the headless watcher's command. Its options become the watcher's; its events go to
// standard output as JSON lines, its reports to standard error.
#include "commands.h"
#include "escape.h"
#include "eventjson.h"
#include "stopsignals.h"
#include "watch.h"
#include "watcher.h"
#include "webserver.h"

#include <array>
#include <iostream>
#include <mutex>

namespace orvendal::stationctl {

watch::Options watchOptions(const Arguments& args) {
    args.expectPositionals(1, "FICHERO");
    watch::Options options;
    options.stationFile = args.positionals()[0];
    options.interval = std::chrono::milliseconds(
        integerOption(args, "--interval", 10, 3'600'000, options.interval.count()));
    options.credentials = args.value("--credentials");
    options.journal = args.value("--journal");
    options.retainDays = integerOption(args, "--retain", 0, 36'500, options.retainDays);
    options.journalMaxMegabytes =
        integerOption(args, "--journal-max", 0, 1'048'576, options.journalMaxMegabytes);
    options.textfile = args.value("--prometheus");
    options.textfileStations = static_cast<std::uint64_t>(integerOption(
        args, "--prometheus-stations", 0, static_cast<std::int64_t>(station::kMaxStationRecords),
        static_cast<std::int64_t>(options.textfileStations)));
    options.hookCommand = args.value("--on-change");
    if (options.hookCommand) {
        options.hookTimeout = std::chrono::seconds(
            integerOption(args, "--hook-timeout", 1, 86'400, options.hookTimeout.count()));
    }
    return options;
}

std::optional<web::WebOptions> watchWebOptions(const Arguments& args,
                                               const watch::Options& options) {
    const auto listen = args.value("--listen");
    const auto config = args.value("--web-config");
    if (!listen) {
        if (config) {
            throw UsageError("--web-config va con --listen: sin página web no sirve de nada");
        }
        return std::nullopt;
    }
    return web::WebOptions{web::parseListenAddress(*listen), config, options.stationFile,
                           options.journal, options.textfileStations};
}

namespace {

int runWatch(const Arguments& args) {
    watch::Options options = watchOptions(args);
    const std::optional<web::WebOptions> webOptions = watchWebOptions(args, options);
    // Before any thread starts, so that every thread blocks the stop signals it waits for.
    watch::StopSignals stops(watch::StopSignals::Hangup::Reopens);
    const watch::SystemClock clock;
    static std::mutex errorLines;
    watch::Sinks sinks;
    sinks.report = [](const std::string& line) {
        const std::lock_guard lock(errorLines);
        std::cerr << "stationctl watch: " << printable(line) << std::endl;
    };
    watch::Watcher* watcher = nullptr;
    sinks.events = [&watcher](const std::vector<station::Event>& events) {
        for (const station::Event& e : events) {
            if (e.kind != station::EventKind::Stopped) {
                std::cout << watch::eventJson(e) << '\n';
            }
        }
        std::cout.flush();
        // A reader of the events that went away (watch | head -1) ends the watcher as a stop does.
        if (!std::cout) {
            watcher->stop();
        }
    };
    // Bound before the watcher opens anything: a port in use ends the command at once.
    std::optional<web::WebServer> site;
    if (webOptions) {
        site.emplace(*webOptions, clock);
        sinks.states.push_back(&*site);
        std::cerr << "stationctl watch: página web en " << printable(site->url()) << std::endl;
    }
    watch::Watcher watching(std::move(options), std::move(sinks), clock, stops);
    watcher = &watching;
    return watching.run();
}

constexpr std::array kWatchOptions = {
    OptionSpec{"--credentials", true},
    OptionSpec{"--journal", true},
    OptionSpec{"--prometheus", true},
    OptionSpec{"--on-change", true},
    OptionSpec{"--interval", true},
    OptionSpec{"--hook-timeout", true},
    OptionSpec{"--retain", true},
    OptionSpec{"--journal-max", true},
    OptionSpec{"--prometheus-stations", true},
    OptionSpec{"--listen", true},
    OptionSpec{"--web-config", true},
};

} // namespace

const Command kWatchCommand{
    "watch", "vigila un fichero de estaciones sin ventana: eventos, diario, métricas, órdenes",
    "Uso: stationctl watch FICHERO [--credentials CREDENCIALES] [--journal DB] [--retain DÍAS]\n"
    "                          [--prometheus RUTA] [--on-change ORDEN] [--hook-timeout S]\n"
    "                          [--interval MS] [--journal-max MB] [--prometheus-stations N]\n"
    "                          [--listen [DIRECCIÓN:]PUERTO [--web-config FICHERO]]\n"
    "Refresca FICHERO como el monitor cada MS milisegundos (500) hasta SIGINT, SIGTERM o el\n"
    "cierre de la salida estándar (watch | head -1), y escribe un objeto JSON por línea para\n"
    "cada cambio, con \"time\" en ISO 8601 local, con milisegundos y la diferencia con UTC:\n"
    "  {\"time\": T, \"event\": \"connected\", \"rec\": FILA, \"lc\": TEXTO, \"station\": N,\n"
    "   \"connection\": TEXTO, \"name\": TEXTO, \"tally\": N, \"at_start\": BOOL}\n"
    "  {\"time\": T, \"event\": \"disconnected\", ...los mismos campos..., \"seconds\": S}\n"
    "  {\"time\": T, \"event\": \"outage\", \"error\": \"NÚMERO-DESCRIPCIÓN\"}\n"
    "  {\"time\": T, \"event\": \"recovered\"}\n"
    "  {\"time\": T, \"event\": \"flapping\", ...los de \"connected\", sin \"at_start\"...}\n"
    "  {\"time\": T, \"event\": \"flapping_ended\", ...los mismos..., \"since\": T,\n"
    "   \"until\": T, \"changes\": N}\n"
    "  {\"time\": T, \"event\": \"changes\", \"connected\": N, \"disconnected\": N,\n"
    "   \"flapping\": N, \"flapping_ended\": N}\n"
    "Un puesto que cambia 6 veces en 15 s es intermitente: sus cambios se agrupan en un\n"
    "periodo (\"flapping\" al empezar, \"flapping_ended\" cuando sus últimos 60 s tienen 2\n"
    "cambios o menos), también en el diario, sin sesiones mientras dura. Un refresco con más\n"
    "de 64 cambios se anuncia como un solo evento \"changes\" (y una sola orden); el diario\n"
    "los guarda uno a uno. Lo agrupado se cuenta en la salida de errores, como mucho una vez\n"
    "por minuto.\n"
    "Un registro conectado se lee en blanco: sus campos son los leídos la última vez que\n"
    "estuvo desbloqueado, null si el vigilante nunca lo vio así. Los puestos conectados en el\n"
    "primer refresco llevan \"at_start\": true (no se sabe cuándo empezaron) y su \"seconds\" es\n"
    "null, como el de un puesto que llegó o se fue durante un fallo de lectura. Un refresco que\n"
    "falla es un fallo de lectura, nunca una serie de desconexiones. Un FICHERO local que\n"
    "falta es un fallo de lectura; nunca se crea. También lo es un FICHERO más corto que su\n"
    "cabecera de 81 bytes. Una cabecera bloqueada un momento se vuelve a leer tras MS/4\n"
    "(100 ms como mucho).\n"
    "SIGHUP nunca detiene al vigilante: empieza un diario nuevo si DB se renombró (rotación\n"
    "de registros) y reescribe el fichero de métricas.\n\n"
    "  --credentials CREDENCIALES  para ficheros smb://, como en status\n"
    "  --journal DB        guarda las sesiones y los fallos de lectura en la base de datos\n"
    "                      SQLite DB, cada cambio confirmado antes de escribirlo; un vigilante\n"
    "                      por diario, sea cual sea la ruta o el enlace que lo nombre. Un\n"
    "                      diario que falla (disco lleno, borrado, de solo lectura, dañado) se\n"
    "                      avisa en la salida de errores y se reintenta cada segundo mientras\n"
    "                      siguen los eventos; hasta 100000 transiciones le esperan en\n"
    "                      memoria. Uno dañado al empezar se aparta a\n"
    "                      DB.corrupt-AAAAMMDDTHHMMSS y el fichero de métricas da\n"
    "                      orvendal_journal_up 0 hasta que todo esté escrito\n"
    "  --retain DÍAS       borra del diario, al empezar y una vez al día, las sesiones y los\n"
    "                      fallos de lectura que terminaron hace más de DÍAS días, de 0 a\n"
    "                      36500 (400); 0 lo guarda todo\n"
    "  --journal-max MB    el tamaño máximo del diario, de 0 a 1048576 (1024); 0 no lo limita.\n"
    "                      Al llegar a él es un diario que falla, como con el disco lleno, y\n"
    "                      la retención se intenta cada hora para hacer sitio\n"
    "  --prometheus RUTA   escribe un fichero de métricas de node_exporter (RUTA terminada en\n"
    "                      .prom) tras cada cambio y al menos cada 15 s, de forma atómica; con\n"
    "                      SIGINT o SIGTERM se conserva y dice orvendal_up 0\n"
    "  --prometheus-stations N  series propias solo para las N primeras filas (10000);\n"
    "                      orvendal_stations_omitted cuenta las demás\n"
    "  --on-change ORDEN   ejecuta ORDEN con /bin/sh -c (cmd.exe /V:ON /C en Windows) por cada\n"
    "                      evento, con ORVENDAL_EVENT, ORVENDAL_REC, ORVENDAL_STATION,\n"
    "                      ORVENDAL_CONNECTION, ORVENDAL_NAME, ORVENDAL_TIME y ORVENDAL_CHANGES\n"
    "                      (los cambios de \"flapping_ended\" y \"changes\") puestas; como\n"
    "                      mucho 4 a la vez y 64 en espera; las demás se descartan y se cuentan\n"
    "                      en la salida de errores como mucho una vez por minuto. En Windows\n"
    "                      léalas como !ORVENDAL_NAME!: cmd.exe sustituye %ORVENDAL_NAME% antes\n"
    "                      de interpretar & | < >, así que una ORDEN así se rechaza\n"
    "  --hook-timeout S    termina una orden que sigue en marcha tras S segundos, de 1 a 86400\n"
    "                      (60), con todo lo que lanzó; cuando el vigilante se detiene, se matan\n"
    "                      las que sigan en marcha\n"
    "  --interval MS       milisegundos entre refrescos, de 10 a 3600000 (500)\n"
    "  --listen [DIRECCIÓN:]PUERTO\n"
    "                      sirve además una página web de solo lectura: / la lista en\n"
    "                      directo, /historia el día en dibujos (con --journal),\n"
    "                      /metrics para Prometheus, /api/status y /api/history. Sin\n"
    "                      DIRECCIÓN solo escucha en 127.0.0.1; [::1]:PUERTO y\n"
    "                      0.0.0.0:PUERTO también valen (nunca un nombre). Use siempre el\n"
    "                      mismo puerto (8468, por ejemplo): Prometheus lo guarda en la\n"
    "                      etiqueta instance. Un puerto ocupado se rechaza al empezar\n"
    "                      (estado 1). En 127.0.0.1 o [::1] solo responde a peticiones\n"
    "                      para localhost, 127.0.0.1 o [::1]\n"
    "  --web-config FICHERO\n"
    "                      TLS y contraseñas en el formato de los exportadores de\n"
    "                      Prometheus: tls_server_config (cert_file, key_file) y\n"
    "                      basic_auth_users (nombre: hash bcrypt de htpasswd -nB); nada\n"
    "                      más. Debe ser un fichero suyo que nadie más pueda cambiar, ni\n"
    "                      leer si lleva contraseñas (chmod 600). No existe en Windows\n\n"
    "Las salidas nunca se escriben a través de un enlace simbólico: un enlace, FIFO,\n"
    "dispositivo o fichero de otro usuario en DB, DB-wal, DB-shm, DB-journal, DB.lock o RUTA\n"
    "se rechaza (estado 1), porque alguien lo puso ahí; también una carpeta de DB de otro\n"
    "usuario o en la que otros pueden escribir sin el bit sticky, y un DB de una versión más\n"
    "nueva de stationctl, que se deja como estaba. Una salida que es FICHERO (también\n"
    "por un enlace duro u otra ruta) u otra salida se rechaza con estado 2 antes de abrir\n"
    "nada para escribir.\n",

    kWatchOptions, runWatch};

} // namespace orvendal::stationctl
