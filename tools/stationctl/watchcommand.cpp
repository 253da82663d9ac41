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

    void write(const StationTracker& tracker, WallClock::time_point refreshed, double seconds,
               SteadyClock::time_point now, bool running = true) {
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
                reportLine("cannot write the textfile: " +
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
        reportLine("journal: deleted " + std::to_string(pruned.sessions) + " sessions and " +
                   std::to_string(pruned.outages) + " outages that ended before " +
                   isoLocalTime(before) + " (--retain " + std::to_string(days) + ")");
    }
}

} // namespace

int runWatch(const Arguments& args, const EventSink& sink) {
    args.expectPositionals(1, "FILE");
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

    StationTracker tracker;
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
    "watch", "watch a station file headless: events, journal, metrics, hooks",
    "Usage: stationctl watch FILE [--credentials CREDFILE] [--journal DB] [--retain DAYS]\n"
    "                        [--prometheus PATH] [--on-change CMD] [--hook-timeout S]\n"
    "                        [--interval MS]\n"
    "Refreshes FILE as the monitor does every MS milliseconds (500) until SIGINT, SIGTERM or\n"
    "the close of standard output (watch | head -1), and prints one JSON object per line\n"
    "for each change, \"time\" in local ISO 8601 with milliseconds and the UTC offset:\n"
    "  {\"time\": T, \"event\": \"connected\", \"rec\": ROW, \"lc\": TEXT, \"station\": N,\n"
    "   \"connection\": TEXT, \"name\": TEXT, \"tally\": N, \"at_start\": BOOL}\n"
    "  {\"time\": T, \"event\": \"disconnected\", ...the same fields..., \"seconds\": S}\n"
    "  {\"time\": T, \"event\": \"outage\", \"error\": \"NUMBER-DESCRIPTION\"}\n"
    "  {\"time\": T, \"event\": \"recovered\"}\n"
    "A connected record reads blank: its fields are those read the last time it was\n"
    "unlocked, null when the watcher never saw it so. Stations connected at the first\n"
    "refresh come with \"at_start\": true (their start is unknown) and their \"seconds\" is\n"
    "null, as is that of a station that came or left during an outage. A refresh that fails\n"
    "is an outage, never a run of disconnections. A missing\n"
    "local FILE is an outage; it is never created. So is a FILE shorter than its 81-byte\n"
    "header. A header locked for a moment is read again after MS/4 (100 ms at most).\n"
    "SIGHUP never stops the watcher: it begins a new journal when DB was renamed away (log\n"
    "rotation) and rewrites the textfile.\n\n"
    "  --credentials CREDFILE  for smb:// files, as status takes it\n"
    "  --journal DB      record sessions and outages in the SQLite database DB, each change\n"
    "                    committed before it is printed; one watcher per journal, whatever\n"
    "                    path or link names it. A journal that fails (full disk, deleted,\n"
    "                    read-only, corrupt) is told on standard error and retried each second\n"
    "                    while events go on; up to 100000 transitions wait in memory for it. A\n"
    "                    corrupt one at the start is moved to DB.corrupt-YYYYMMDDTHHMMSS\n"
    "                    and the textfile gets orvendal_journal_up 0 until all is written\n"
    "  --retain DAYS     delete from the journal, at the start and once a day, sessions and\n"
    "                    outages that ended more than DAYS days ago, 0 to 36500 (400); 0\n"
    "                    keeps everything\n"
    "  --prometheus PATH write a node_exporter textfile (PATH ending in .prom) after every\n"
    "                    change and at least every 15 s, atomically; at SIGINT or SIGTERM it\n"
    "                    is kept and says orvendal_up 0\n"
    "  --on-change CMD   run CMD with /bin/sh -c (cmd.exe /V:ON /C on Windows) for each\n"
    "                    event, with ORVENDAL_EVENT, ORVENDAL_REC, ORVENDAL_STATION,\n"
    "                    ORVENDAL_CONNECTION, ORVENDAL_NAME and ORVENDAL_TIME set; at most 4\n"
    "                    at once, 64 waiting, more dropped and counted on standard error at\n"
    "                    most once a minute. On Windows read them as !ORVENDAL_NAME!: cmd.exe\n"
    "                    expands %ORVENDAL_NAME% before it parses & | < >, so such a CMD is\n"
    "                    refused\n"
    "  --hook-timeout S  end a hook still running after S seconds, 1 to 86400 (60), with all\n"
    "                    it started; at the watcher's stop, hooks still running are killed\n"
    "  --interval MS     milliseconds between refreshes, 10 to 3600000 (500)\n\n"
    "Outputs are never written through a symbolic link: a link, FIFO, device or another user's\n"
    "file at DB, DB-wal, DB-shm, DB-journal, DB.lock or PATH is refused (status 1), since it was\n"
    "planted there. An output that is FILE (also through a hard link or another path) or\n"
    "another output is refused with status 2 before anything is opened for writing.\n",
    kWatchOptions, [](const Arguments& args) { return runWatch(args, {}); }};

} // namespace orvendal::stationctl
