#include "watcher.h"

#include "hooks.h"
#include "journalkeeper.h"
#include "refreshdriver.h"
#include "smbfile.h"
#include "textfile.h"
#include "timetext.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace orvendal::watch {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kHeartbeat{5000};
// What the stop waits for: a refresh stuck on a silent server, and hooks still running.
constexpr milliseconds kCloseLimit{2000};
// The watcher runs for months: old sessions are deleted at its start and once a day, and every
// hour while the journal fails, since one at its bound (--journal-max) works again only once
// retention has made room.
constexpr std::chrono::hours kDay{24};
constexpr std::chrono::hours kPruneWhileFailing{1};
// Hooks run at most so many at once, and so many more wait; the rest are dropped and counted.
constexpr std::size_t kHooksRunning = 4;
constexpr std::size_t kHooksWaiting = 64;
static_assert(station::StationTracker::kAnnouncedChanges <= kHooksWaiting);
// What the tracker folded is told at once, then at most so often, as the dropped hooks are.
constexpr std::chrono::minutes kFoldedReport{1};

} // namespace

struct Watcher::Outputs {
    std::optional<journal::JournalKeeper> journal;
    std::optional<Textfile> textfile;
    std::optional<HookRunner> hooks;
    std::optional<station::RefreshDriver> driver;
    SteadyClock::time_point lastBeat;
    SteadyClock::time_point lastPrune;
    // The tracker's counts as last told, when, and since when there is more to tell.
    station::StationTracker::Folded foldedTold;
    std::size_t flappingTold = 0;
    std::optional<SteadyClock::time_point> foldedToldAt;
    std::optional<WallClock::time_point> foldedSince;
};

Watcher::Watcher(Options options, Sinks sinks, const Clock& clock, Waiter& waiter)
    : options_(std::move(options)), sinks_(std::move(sinks)), clock_(clock), waiter_(waiter),
      outputs_(std::make_unique<Outputs>()) {
    checkStart(options_);
    if (options_.credentials) {
        files::useCredentialsFile(*options_.credentials);
    }
    Outputs& out = *outputs_;
    if (options_.journal) {
        out.journal.emplace(*options_.journal, options_.stationFile, sinks_.report, clock_.wall(),
                            options_.interval, options_.journalMaxMegabytes << 20);
        pruneJournal();
    }
    out.lastPrune = clock_.monotonic();
    if (options_.textfile) {
        out.textfile.emplace(*options_.textfile, options_.stationFile, options_.textfileStations,
                             clock_, sinks_.report);
        sinks_.states.insert(sinks_.states.begin(), &*out.textfile);
    }
    if (options_.hookCommand) {
        out.hooks.emplace(*options_.hookCommand, sinks_.report, kHooksRunning, kHooksWaiting,
                          options_.hookTimeout);
    }
    // The window creates a missing local file empty and lists an empty one as no stations; for
    // the watcher both are outages, or a file renamed away or truncated for a moment would make
    // all its stations seem to leave.
    out.driver.emplace(
        std::make_shared<station::StationReader>(station::headlessReaderOptions(options_.interval)),
        [] {});
    out.lastBeat = clock_.monotonic();
}

Watcher::~Watcher() = default;

void Watcher::stop() noexcept {
    stopping_ = true;
    waiter_.requestStop();
}

int Watcher::run() {
    Outputs& out = *outputs_;
    station::RefreshDriver& driver = *out.driver;
    while (!stopping_) {
        const auto tick = clock_.monotonic();
        if (auto late = driver.take()) {
            handle(std::move(*late));
        }
        if (!driver.inFlight()) {
            const auto started = clock_.monotonic();
            driver.start(options_.stationFile);
            if (auto reading = driver.waitFor(options_.interval)) {
                state_.refreshSeconds =
                    std::chrono::duration<double>(clock_.monotonic() - started).count();
                handle(std::move(*reading));
            }
        }
        const auto now = clock_.monotonic();
        if (out.journal && (now - out.lastBeat >= kHeartbeat || !out.journal->up())) {
            out.journal->heartbeat(clock_.wall(), now);
            out.lastBeat = now;
        }
        tellStates();
        if (out.journal && now - out.lastPrune >= (out.journal->up() ? kDay : kPruneWhileFailing)) {
            pruneJournal();
            out.lastPrune = now;
        }
        if (out.hooks) {
            out.hooks->reportDropped();
        }
        if (stopping_) {
            break;
        }
        const auto left = tick + options_.interval - clock_.monotonic();
        switch (waiter_.pause(std::max(milliseconds(0), std::chrono::ceil<milliseconds>(left)))) {
        case Waiter::Wake::Stop:
            stopping_ = true;
            break;
        case Waiter::Wake::Reopen:
            if (out.journal) {
                out.journal->reopen(clock_.wall());
            }
            for (StateSink* sink : sinks_.states) {
                sink->reopen();
            }
            break;
        case Waiter::Wake::Elapsed:
            break;
        }
    }
    finish();
    return 0;
}

void Watcher::handle(station::StationReading reading) {
    Outputs& out = *outputs_;
    const auto now = clock_.wall();
    const auto monotonic = clock_.monotonic();
    tellLockTable(reading);
    const station::StationTracker::Update update = state_.tracker.update(reading, now, monotonic);
    state_.reading = std::move(reading);
    state_.refreshed = now;
    if (out.journal && !update.recorded.empty()) {
        out.journal->record(update.recorded, now, monotonic);
        out.lastBeat = monotonic;
    }
    state_.changed = !update.recorded.empty();
    tellStates();
    state_.changed = false;
    if (sinks_.events && !update.announced.empty()) {
        sinks_.events(update.announced);
    }
    if (out.hooks) {
        for (const station::Event& e : update.announced) {
            out.hooks->post(e);
        }
    }
    reportFolded(false);
}

// One line for whatever was folded since the last: flapping stations and bursts of changes.
void Watcher::reportFolded(bool atStop) {
    Outputs& out = *outputs_;
    const station::StationTracker& tracker = state_.tracker;
    const auto& folded = tracker.folded();
    const auto& told = out.foldedTold;
    const std::uint64_t began = folded.flappingPeriods - told.flappingPeriods;
    const std::uint64_t settled = began + out.flappingTold - tracker.flappingCount();
    const std::uint64_t bursts = folded.bursts - told.bursts;
    if (began == 0 && settled == 0 && bursts == 0) {
        return;
    }
    if (!out.foldedSince) {
        out.foldedSince = clock_.wall();
    }
    const auto now = clock_.monotonic();
    if (!atStop && out.foldedToldAt && now - *out.foldedToldAt < kFoldedReport) {
        return;
    }
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) of " " + std::string.
    std::string line = "desde ";
    line += journal::isoLocalTime(*out.foldedSince);
    line += ':';
    if (began > 0 || settled > 0) {
        line += ' ';
        line += std::to_string(began);
        line += " puestos empezaron a cambiar de estado sin parar (";
        line += std::to_string(station::FlapRule::kChanges);
        line += " cambios en ";
        line += std::to_string(station::FlapRule::kWithin.count());
        line += " s) y ";
        line += std::to_string(settled);
        line += " se calmaron; sus ";
        line += std::to_string(folded.flappingChanges - told.flappingChanges);
        line += " cambios se guardan como periodos de intermitencia, sin anunciarse uno a uno";
    }
    if (bursts > 0) {
        line += began > 0 || settled > 0 ? "; " : " ";
        line += std::to_string(bursts);
        line += " refrescos con más de ";
        line += std::to_string(station::StationTracker::kAnnouncedChanges);
        line += " cambios se anunciaron cada uno como un solo evento \"changes\" (";
        line += std::to_string(folded.burstChanges - told.burstChanges);
        line += " cambios, que el diario guarda uno a uno)";
    }
    sinks_.report(line);
    out.foldedTold = folded;
    out.flappingTold = tracker.flappingCount();
    out.foldedToldAt = now;
    out.foldedSince.reset();
}

// Once when the kernel's table of locks is given up and once when it is read again: between the
// two, each refresh probes the file's locks, whose cost grows with their square.
void Watcher::tellLockTable(const station::StationReading& reading) {
    if (!reading.lockTable) {
        return;
    }
    const bool givenUp = reading.lockTable->outcome != files::LockTable::Outcome::Listed;
    if (givenUp && !lockTableGivenUp_) {
        sinks_.report("se deja de leer la tabla de bloqueos del núcleo (" +
                      reading.lockTable->problem +
                      "): los bloqueos del fichero de estaciones se consultan registro a registro "
                      "y la tabla se volverá a intentar más adelante");
    } else if (!givenUp && lockTableGivenUp_) {
        sinks_.report("la tabla de bloqueos del núcleo vuelve a leerse: los bloqueos del fichero "
                      "de estaciones ya no se consultan registro a registro");
    }
    lockTableGivenUp_ = givenUp;
}

void Watcher::tellStates() {
    if (outputs_->journal) {
        state_.journalUp = outputs_->journal->up();
    }
    for (StateSink* sink : sinks_.states) {
        sink->update(state_);
    }
}

// Deletes what ended more than the retention's days ago and tells what it deleted.
void Watcher::pruneJournal() {
    const std::int64_t days = options_.retainDays;
    if (days == 0) {
        return;
    }
    const auto before = clock_.wall() - kDay * days;
    const journal::Journal::Pruned pruned = outputs_->journal->prune(before);
    if (pruned.sessions > 0 || pruned.outages > 0 || pruned.flapping > 0) {
        const std::string flapping = pruned.flapping > 0 ? ", " + std::to_string(pruned.flapping) +
                                                               " periodos de intermitencia"
                                                         : std::string();
        sinks_.report("diario: se han borrado " + std::to_string(pruned.sessions) + " sesiones" +
                      flapping + " y " + std::to_string(pruned.outages) +
                      " fallos de lectura que terminaron antes de " +
                      journal::isoLocalTime(before) + " (--retain " + std::to_string(days) + ")");
    }
}

void Watcher::finish() {
    Outputs& out = *outputs_;
    out.driver->close(kCloseLimit);
    // A textfile kept, not removed: one that says the watcher stopped tells more than none.
    state_.running = false;
    tellStates();
    const auto stoppedAt = clock_.wall();
    reportFolded(true);
    const std::vector<station::Event> ended = state_.tracker.stopAll(stoppedAt, clock_.monotonic());
    if (out.journal) {
        out.journal->stop(ended, stoppedAt);
    }
    if (sinks_.events) {
        sinks_.events(ended);
    }
    if (out.hooks) {
        out.hooks->finish(kCloseLimit);
    }
}

} // namespace orvendal::watch
