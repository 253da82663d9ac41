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
// The watcher runs for months: old sessions are deleted at its start and once a day.
constexpr std::chrono::hours kDay{24};
// Hooks run at most so many at once, and so many more wait; the rest are dropped and counted.
constexpr std::size_t kHooksRunning = 4;
constexpr std::size_t kHooksWaiting = 64;

} // namespace

struct Watcher::Outputs {
    std::optional<journal::JournalKeeper> journal;
    std::optional<Textfile> textfile;
    std::optional<HookRunner> hooks;
    std::optional<station::RefreshDriver> driver;
    SteadyClock::time_point lastBeat;
    SteadyClock::time_point lastPrune;
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
                            options_.interval);
        pruneJournal();
    }
    out.lastPrune = clock_.monotonic();
    if (options_.textfile) {
        out.textfile.emplace(*options_.textfile, options_.stationFile, clock_, sinks_.report);
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
        if (out.journal && now - out.lastPrune >= kDay) {
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
    const std::vector<station::Event> events = state_.tracker.update(reading, now, monotonic);
    state_.reading = std::move(reading);
    state_.refreshed = now;
    if (out.journal && !events.empty()) {
        out.journal->record(events, now, monotonic);
        out.lastBeat = monotonic;
    }
    state_.changed = !events.empty();
    tellStates();
    state_.changed = false;
    if (sinks_.events && !events.empty()) {
        sinks_.events(events);
    }
    if (out.hooks) {
        for (const station::Event& e : events) {
            out.hooks->post(e);
        }
    }
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
    if (pruned.sessions > 0 || pruned.outages > 0) {
        sinks_.report("diario: se han borrado " + std::to_string(pruned.sessions) + " sesiones y " +
                      std::to_string(pruned.outages) +
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
