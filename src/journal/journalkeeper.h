#pragma once

#include "journal.h"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvendal::journal {

// Failures retrying cannot mend, refused at the start: another watcher holds the journal, a link,
// special file or another user's file stands at its place, its folder does not exist (a
// mistyped path, which a watcher retrying for ever would hide), or it is a newer version's
// journal or another program's database. Anything else (a full disk, a read-only file system,
// SQLite's errors) is retried.
bool lastingFailure(const Error& error);

// The watcher's journal, kept through its failures so that they never stop the watching: a full
// disk, a read-only or deleted file, a corrupt database. What cannot be committed is kept in
// memory (up to a bound) and committed once the journal works again, retried at most once a
// second; a journal deleted or renamed away is noticed at its path and begun anew there with the
// sessions and outage still open. Each failure episode is told once on `report`.
class JournalKeeper {
public:
    using Report = std::function<void(const std::string& line)>;

    // Transitions kept in memory while the journal fails; later ones are dropped and counted.
    static constexpr std::size_t kKeptTransitions = 100'000;

    // Opens the journal at `path`, bound to `maxBytes` (0: none; Journal::open). Throws Error for
    // what retrying cannot mend: another watcher holds it, or a link, special file or another
    // user's file stands at its place. Other failures (a full disk, the journal at its bound, a
    // read-only file system, SQLite's) are told and retried instead.
    JournalKeeper(std::string path, std::string stationFile, Report report,
                  WallClock::time_point now, Milliseconds interval, std::int64_t maxBytes = 0,
                  std::size_t kept = kKeptTransitions);

    // A refresh's events: committed, after any kept earlier, before this returns when the
    // journal works; kept otherwise.
    void record(std::span<const station::Event> events, WallClock::time_point now,
                SteadyClock::time_point monotonic);
    // Tells the journal the watcher is alive, or retries a failing one.
    void heartbeat(WallClock::time_point now, SteadyClock::time_point monotonic);
    // Opens the file at the journal's path again when it is no longer the one written (a log
    // rotation renamed it away), and retries a failing journal at once.
    void reopen(WallClock::time_point now);
    // The watcher ends with `ended` (its Stopped events); says how many transitions are lost if
    // the journal fails still, or that its changes wait in the write-ahead log.
    void stop(std::span<const station::Event> ended, WallClock::time_point now);

    // Deletes what ended before `before` (Journal::prune), also while commits fail, since a
    // journal at its bound works again only once rows are deleted. A failure is told as any other.
    Journal::Pruned prune(WallClock::time_point before);
    // Whether everything so far is committed.
    bool up() const { return journal_.has_value() && kept_.empty() && !failure_; }

private:
    // The sessions, flapping periods and outage open as a journal knows them.
    struct OpenState {
        std::map<std::int64_t, station::Event> sessions; // their Connected events, by rec
        std::map<std::int64_t, station::Event> flapping; // their Flapping events, by rec
        std::optional<station::Event> outage;
        void apply(const station::Event& event);
    };

    void keep(std::span<const station::Event> events);
    // Commits what is kept (after opening the journal again when needed); false when it fails.
    bool commit(WallClock::time_point now, bool force, SteadyClock::time_point monotonic);
    // Closes a journal whose path names another file now and begins one at the path.
    void switchFiles(WallClock::time_point now);
    void open(WallClock::time_point now);
    void failed(const std::string& what);

    std::string path_;
    std::string stationFile_;
    Report report_;
    // The watcher's, recorded with each watch it begins.
    Milliseconds interval_;
    std::int64_t maxBytes_;
    std::size_t limit_;
    std::optional<Journal> journal_;
    OpenState committed_;
    // In one block, committed as it is: 200 bytes an event (more for long names), about 20 MB
    // at the bound.
    std::vector<station::Event> kept_;
    std::size_t dropped_ = 0;
    std::optional<std::string> failure_;
    std::optional<SteadyClock::time_point> lastTry_;
};

} // namespace orvendal::journal
