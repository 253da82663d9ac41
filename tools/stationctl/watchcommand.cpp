// watch: the headless watcher. Events as JSON lines, the journal, the Prometheus textfile and
// change hooks, on the same refresh driver as the windows.
#include "atomicfile.h"
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "events.h"
#include "fileidentity.h"
#include "hooks.h"
#include "journal.h"
#include "journalkeeper.h"
#include "json.h"
#include "metrics.h"
#include "plainfile.h"
#include "recordfile.h"
#include "refreshdriver.h"
#include "smbfile.h"
#include "smburl.h"
#include "stopsignals.h"
#include "text.h"
#include "watch.h"

#include <array>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>

namespace orvendal::stationctl {
namespace {

using namespace journal;
using std::chrono::milliseconds;

constexpr milliseconds kHeartbeat{5000};
// node_exporter users alert on a stale textfile: it is rewritten at least this often.
constexpr milliseconds kTextfileRefresh{15000};
// What the stop waits for: a refresh stuck on a silent server, and hooks still running.
constexpr milliseconds kCloseLimit{2000};
// The watcher runs for months: old sessions are deleted at its start and once a day.
constexpr std::chrono::hours kDay{24};

std::mutex errorLines;

void reportLine(const std::string& line) {
    const std::lock_guard lock(errorLines);
    std::cerr << "stationctl watch: " << printable(line) << std::endl;
}

std::string jsonText(const std::optional<StationFields>& f, std::u16string StationFields::*m) {
    return f ? jsonString((*f).*m) : "null";
}

std::string jsonNumber(const std::optional<StationFields>& f, bool station) {
    return f ? std::to_string(station ? f->station : f->tally) : "null";
}

std::string eventJson(const Event& e) {
    std::ostringstream out;
    out << "{\"time\": \"" << isoLocalTime(e.time) << "\", \"event\": \"" << eventName(e.kind)
        << '"';
    if (e.kind == EventKind::Connected || e.kind == EventKind::Disconnected) {
        out << ", \"rec\": " << e.rec << ", \"lc\": " << jsonText(e.fields, &StationFields::lc)
            << ", \"station\": " << jsonNumber(e.fields, true)
            << ", \"connection\": " << jsonText(e.fields, &StationFields::connection)
            << ", \"name\": " << jsonText(e.fields, &StationFields::name)
            << ", \"tally\": " << jsonNumber(e.fields, false);
    }
    if (e.kind == EventKind::Connected) {
        out << ", \"at_start\": " << (e.atStart ? "true" : "false");
    }
    if (e.kind == EventKind::Disconnected) {
        char seconds[32] = "null";
        if (e.seconds) {
            std::snprintf(seconds, sizeof seconds, "%.3f", *e.seconds);
        }
        out << ", \"seconds\": " << seconds;
    }
    if (e.kind == EventKind::Outage) {
        out << ", \"error\": " << jsonString(fromUtf8(e.error));
    }
    out << '}';
    return out.str();
}

// The textfile's writes; a failure is told once until a write succeeds again.
class Textfile {
public:
    // `journal`, when the watcher keeps one, adds whether it works.
    Textfile(std::string path, std::string stationFile, const JournalKeeper* journal)
        : path_(std::move(path)), stationFile_(std::move(stationFile)), journal_(journal) {}

    void write(const station::StationTracker& tracker, WallClock::time_point refreshed,
               double seconds, SteadyClock::time_point now, bool running = true) {
        try {
            std::string text = renderMetrics(tracker, stationFile_, refreshed, seconds, running);
            if (journal_) {
                journalUp_ = journal_->up();
                text += renderJournalMetrics(stationFile_, journalUp_);
            }
            files::writeFileAtomically(path_, text);
            failing_ = false;
        } catch (...) {
            if (!std::exchange(failing_, true)) {
                reportLine("no se puede escribir el fichero de métricas: " +
                           toError(std::current_exception()).text('-'));
            }
        }
        written_ = now;
    }
    bool due(SteadyClock::time_point now) const {
        return !written_ || now - *written_ >= kTextfileRefresh ||
               (journal_ && journal_->up() != journalUp_);
    }
    // SIGHUP: written again at once, wherever its folder's files went.
    void reopen() { written_.reset(); }

private:
    std::string path_;
    std::string stationFile_;
    const JournalKeeper* journal_;
    bool journalUp_ = true;
    std::optional<SteadyClock::time_point> written_;
    bool failing_ = false;
};

// The watcher only reads its station file: an output that is that file, or another output, would
// destroy it. Told by file identity (a hard link too) and by path (also before the output
// exists), before anything is opened for writing. An smb:// station file is no local file.
void refuseClashingOutputs(const std::string& stationFile, const Arguments& args) {
    struct Output {
        const char* option;
        std::string path;
    };
    std::vector<Output> outputs;
    if (const auto db = args.value("--journal")) {
        for (const std::string& file : journalFiles(*db)) {
            outputs.push_back({"--journal", file});
        }
    }
    if (const auto prometheus = args.value("--prometheus")) {
        outputs.push_back({"--prometheus", *prometheus});
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const Output& output = outputs[i];
        if (!files::isSmbPath(stationFile) && files::sameFile(output.path, stationFile)) {
            throw UsageError(std::string(output.option) + ": " + output.path +
                             " es el fichero de estaciones " + stationFile +
                             ", que el monitor solo lee y nunca escribe");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (outputs[j].option != output.option &&
                files::sameFile(output.path, outputs[j].path)) {
                throw UsageError(std::string(output.option) + ": " + output.path +
                                 " es el mismo fichero que " + outputs[j].path + " de " +
                                 outputs[j].option + "; cada salida necesita su propio fichero");
            }
        }
    }
    // A link or special file there now is refused at the start; later ones at each write.
    if (const auto prometheus = args.value("--prometheus")) {
        if (!prometheus->ends_with(".prom")) {
            throw UsageError("--prometheus: " + *prometheus +
                             " no termina en .prom: node_exporter y windows_exporter solo leen los "
                             "ficheros *.prom de su carpeta");
        }
        files::requirePlainFileOrNothing(*prometheus, files::Owner::Us);
    }
}

// Deletes what ended more than `days` ago (0 keeps everything) and tells what it deleted.
void pruneJournal(JournalKeeper& journal, std::int64_t days) {
    if (days == 0) {
        return;
    }
    const auto before = WallClock::now() - kDay * days;
    const Journal::Pruned pruned = journal.prune(before);
    if (pruned.sessions > 0 || pruned.outages > 0) {
        reportLine("diario: se han borrado " + std::to_string(pruned.sessions) + " sesiones y " +
                   std::to_string(pruned.outages) + " fallos de lectura que terminaron antes de " +
                   isoLocalTime(before) + " (--retain " + std::to_string(days) + ")");
    }
}

} // namespace

int runWatch(const Arguments& args, const EventSink& sink) {
    args.expectPositionals(1, "FICHERO");
    const std::string& path = args.positionals()[0];
    const milliseconds interval(integerOption(args, "--interval", 10, 3'600'000, 500));
    if (const auto command = args.value("--on-change")) {
        if (const auto problem = hookCommandProblem(*command)) {
            throw UsageError(*problem);
        }
    }
    const std::int64_t retainDays = integerOption(args, "--retain", 0, 36'500, 400);
    refuseClashingOutputs(path, args);
    if (const auto credentials = args.value("--credentials")) {
        files::useCredentialsFile(*credentials);
    }

    // Before any thread starts, so that every thread blocks the stop signals it waits for.
    StopSignals stops(StopSignals::Hangup::Reopens);
    std::optional<JournalKeeper> journal;
    if (const auto db = args.value("--journal")) {
        journal.emplace(*db, path, reportLine, WallClock::now(), interval);
        pruneJournal(*journal, retainDays);
    }
    auto lastPrune = SteadyClock::now();
    std::optional<Textfile> textfile;
    if (const auto prometheus = args.value("--prometheus")) {
        textfile.emplace(*prometheus, path, journal ? &*journal : nullptr);
    }
    std::optional<HookRunner> hooks;
    if (const auto command = args.value("--on-change")) {
        hooks.emplace(*command, reportLine, 4, 64,
                      std::chrono::seconds(integerOption(args, "--hook-timeout", 1, 86'400, 60)));
    }

    station::StationTracker tracker;
    // The window creates a missing local file empty and lists an empty one as no stations; for
    // the watcher both are outages, or a file renamed away or truncated for a moment would make
    // all its stations seem to leave.
    station::RefreshDriver driver(
        std::make_shared<station::StationReader>(station::headlessReaderOptions(interval)), [] {});
    auto lastBeat = SteadyClock::now();
    WallClock::time_point refreshed{};
    double refreshSeconds = 0;
    // A reader of the events that went away (watch | head -1) ends the watcher as a stop does.
    bool outputClosed = false;

    const auto handle = [&](const station::StationReading& reading) {
        const auto now = WallClock::now();
        const auto monotonic = SteadyClock::now();
        const std::vector<Event> events = tracker.update(reading, now, monotonic);
        refreshed = now;
        if (journal && !events.empty()) {
            journal->record(events, now, monotonic);
            lastBeat = monotonic;
        }
        if (sink && !events.empty()) {
            sink(events);
        }
        // The textfile before the lines: whoever reads an event finds the metrics up to date.
        if (textfile && (!events.empty() || textfile->due(monotonic))) {
            textfile->write(tracker, refreshed, refreshSeconds, monotonic);
        }
        for (const Event& e : events) {
            std::cout << eventJson(e) << '\n';
        }
        std::cout.flush();
        outputClosed = outputClosed || !std::cout;
        if (hooks) {
            for (const Event& e : events) {
                hooks->post(e);
            }
        }
    };

    while (!stops.stopped() && !outputClosed) {
        const auto tick = SteadyClock::now();
        if (auto late = driver.take()) {
            handle(*late);
        }
        if (!driver.inFlight()) {
            const auto started = SteadyClock::now();
            driver.start(path);
            if (auto reading = driver.waitFor(interval)) {
                refreshSeconds =
                    std::chrono::duration<double>(SteadyClock::now() - started).count();
                handle(*reading);
            }
        }
        const auto now = SteadyClock::now();
        if (journal && (now - lastBeat >= kHeartbeat || !journal->up())) {
            journal->heartbeat(WallClock::now(), now);
            lastBeat = now;
        }
        if (textfile && textfile->due(now) && refreshed != WallClock::time_point{}) {
            textfile->write(tracker, refreshed, refreshSeconds, now);
        }
        if (journal && now - lastPrune >= kDay) {
            pruneJournal(*journal, retainDays);
            lastPrune = now;
        }
        if (hooks) {
            hooks->reportDropped();
        }
        const auto left = tick + interval - SteadyClock::now();
        stops.wait(std::max(milliseconds(0), std::chrono::ceil<milliseconds>(left)));
        if (stops.takeReopen()) {
            if (journal) {
                journal->reopen(WallClock::now());
            }
            if (textfile) {
                textfile->reopen();
            }
        }
    }

    driver.close(kCloseLimit);
    // Kept, not removed: a file that says the watcher stopped tells more than a missing one.
    if (textfile) {
        textfile->write(tracker, refreshed, refreshSeconds, SteadyClock::now(), false);
    }
    const auto stoppedAt = WallClock::now();
    const std::vector<Event> ended = tracker.stopAll(stoppedAt, SteadyClock::now());
    if (journal) {
        journal->stop(ended, stoppedAt);
    }
    if (sink) {
        sink(ended);
    }
    if (hooks) {
        hooks->finish(kCloseLimit);
    }
    return 0;
}

namespace {

constexpr std::array kWatchOptions = {
    OptionSpec{"--credentials", true}, OptionSpec{"--journal", true},
    OptionSpec{"--prometheus", true},  OptionSpec{"--on-change", true},
    OptionSpec{"--interval", true},    OptionSpec{"--hook-timeout", true},
    OptionSpec{"--retain", true},
};

} // namespace

const Command kWatchCommand{
    "watch", "vigila un fichero de estaciones sin ventana: eventos, diario, métricas, órdenes",
    "Uso: stationctl watch FICHERO [--credentials CREDENCIALES] [--journal DB] [--retain DÍAS]\n"
    "                          [--prometheus RUTA] [--on-change ORDEN] [--hook-timeout S]\n"
    "                          [--interval MS]\n"
    "Refresca FICHERO como el monitor cada MS milisegundos (500) hasta SIGINT, SIGTERM o el\n"
    "cierre de la salida estándar (watch | head -1), y escribe un objeto JSON por línea para\n"
    "cada cambio, con \"time\" en ISO 8601 local, con milisegundos y la diferencia con UTC:\n"
    "  {\"time\": T, \"event\": \"connected\", \"rec\": FILA, \"lc\": TEXTO, \"station\": N,\n"
    "   \"connection\": TEXTO, \"name\": TEXTO, \"tally\": N, \"at_start\": BOOL}\n"
    "  {\"time\": T, \"event\": \"disconnected\", ...los mismos campos..., \"seconds\": S}\n"
    "  {\"time\": T, \"event\": \"outage\", \"error\": \"NÚMERO-DESCRIPCIÓN\"}\n"
    "  {\"time\": T, \"event\": \"recovered\"}\n"
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
    "  --prometheus RUTA   escribe un fichero de métricas de node_exporter (RUTA terminada en\n"
    "                      .prom) tras cada cambio y al menos cada 15 s, de forma atómica; con\n"
    "                      SIGINT o SIGTERM se conserva y dice orvendal_up 0\n"
    "  --on-change ORDEN   ejecuta ORDEN con /bin/sh -c (cmd.exe /V:ON /C en Windows) por cada\n"
    "                      evento, con ORVENDAL_EVENT, ORVENDAL_REC, ORVENDAL_STATION,\n"
    "                      ORVENDAL_CONNECTION, ORVENDAL_NAME y ORVENDAL_TIME puestas; como\n"
    "                      mucho 4 a la vez y 64 en espera; las demás se descartan y se cuentan\n"
    "                      en la salida de errores como mucho una vez por minuto. En Windows\n"
    "                      léalas como !ORVENDAL_NAME!: cmd.exe sustituye %ORVENDAL_NAME% antes\n"
    "                      de interpretar & | < >, así que una ORDEN así se rechaza\n"
    "  --hook-timeout S    termina una orden que sigue en marcha tras S segundos, de 1 a 86400\n"
    "                      (60), con todo lo que lanzó; cuando el vigilante se detiene, se matan\n"
    "                      las que sigan en marcha\n"
    "  --interval MS       milisegundos entre refrescos, de 10 a 3600000 (500)\n\n"
    "Las salidas nunca se escriben a través de un enlace simbólico: un enlace, FIFO,\n"
    "dispositivo o fichero de otro usuario en DB, DB-wal, DB-shm, DB-journal, DB.lock o RUTA\n"
    "se rechaza (estado 1), porque alguien lo puso ahí. Una salida que es FICHERO (también\n"
    "por un enlace duro u otra ruta) u otra salida se rechaza con estado 2 antes de abrir\n"
    "nada para escribir.\n",

    kWatchOptions, [](const Arguments& args) { return runWatch(args, {}); }};

} // namespace orvendal::stationctl
