#pragma once

#include "error.h"
#include "events.h"
#include "timetext.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvendal::journal {

// SQLite's primary result codes (SQLITE_CORRUPT, SQLITE_FULL, ...), as SQLite numbers them.
const std::error_category& sqliteCategory() noexcept;

// Whether `code` says the journal is no database, or a damaged one (SQLITE_CORRUPT,
// SQLITE_NOTADB): an open moves such a journal aside.
bool corruptJournal(const std::error_code& code);
// Whether `code` says the journal could not grow: a full disk, or its bound reached (SQLITE_FULL).
bool fullJournal(const std::error_code& code);

// The watcher's record of sessions and outages in an SQLite database (WAL), one watcher at a
// time. Every call commits before it returns, so what the watcher printed after it survives a
// kill -9. The schema is written down in docs/user-guide.md.
class Journal {
public:
    // Opens or creates the journal and takes it for this watcher: refused while another watcher
    // holds it. Sessions and outages a killed watcher left open are closed as "unknown" at its
    // last heartbeat, a session no sooner than one `interval` after the refresh that saw it.
    // Its database file then grows to `maxBytes` at most (0: no bound), past which a commit fails
    // with SQLITE_FULL as on a full disk; one larger already only stops growing. Throws Error.
    static Journal open(const std::string& path, const std::string& stationFile,
                        WallClock::time_point now, Milliseconds interval,
                        std::int64_t maxBytes = 0);

    Journal(Journal&&) noexcept;
    Journal& operator=(Journal&&) noexcept;
    ~Journal();

    // A refresh's events, in one transaction; a Stopped event closes its session or flapping
    // period as "stopped", a FlappingEnded its period as "settled".
    void record(std::span<const station::Event> events, WallClock::time_point now);
    // Tells later starts how long this watcher was surely alive.
    void heartbeat(WallClock::time_point now);
    // The watcher ends: its open outage is closed and its run marked stopped, committed or
    // thrown as Error. Then the write-ahead log is folded into the database file; when that
    // fails (a reader still in it), nothing is lost and its failure is returned.
    std::optional<Error> stop(WallClock::time_point now);

    // How many sessions, outages and flapping periods this open closed as "unknown".
    int closedAsUnknown() const;
    // Where this open moved a corrupt journal it found (its "-wal" and "-shm" beside it) before
    // it began a new one; none when it found none.
    std::optional<std::string> movedAside() const;
    // Whether the journal's path no longer names the file this journal writes: deleted, or
    // renamed away and maybe replaced.
    bool replaced() const;
    // Whether its database is within a sixteenth of the bound it was opened with, where a
    // commit that fails for want of room failed for the bound rather than the disk.
    bool atLimit() const;

    struct Pruned {
        long long sessions = 0;
        long long outages = 0;
        long long flapping = 0;
    };
    // Deletes the sessions, outages and flapping periods that ended before `before`, and the
    // watches left with none; open ones stay whatever their age. In batches, each committed, so
    // that readers and the write-ahead log never meet one huge transaction. SQLite reuses the freed
    // pages.
    Pruned prune(WallClock::time_point before);

    struct Handle;

private:
    explicit Journal(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

struct Session {
    std::int64_t rec = 0;
    std::optional<station::StationFields> fields;
    // When it began; none when it was already connected when watching began.
    std::optional<WallClock::time_point> start;
    // The first instant the watcher knew it connected: its start, or the watch's first refresh.
    WallClock::time_point seen;
    bool atStart = false;
    std::optional<WallClock::time_point> end;
    // "disconnected", "stopped" or "unknown"; empty while still connected.
    std::string ended;
    // Began or ended unseen during an outage: after this, before `start` or `end`.
    std::optional<WallClock::time_point> startedAfter;
    std::optional<WallClock::time_point> endedAfter;
    std::optional<double> seconds;
};

// A stretch the journal cannot speak for: no watcher ran (a gap), or the watcher could not read
// the station file (an outage, with its "<number>-<description>"). Open ends are none.
struct Blind {
    std::optional<WallClock::time_point> from;
    std::optional<WallClock::time_point> to;
    std::string error;
};

// A station's flapping period: its changes, too many to record one by one, as one row.
struct Flapping {
    std::int64_t rec = 0;
    std::optional<station::StationFields> fields;
    WallClock::time_point from;
    // Its last change; none while it lasts.
    std::optional<WallClock::time_point> to;
    // How many changes, the first included; none when not known.
    std::optional<long long> changes;
    // "settled", "stopped" or "unknown"; empty while it lasts.
    std::string ended;
};

// The files a journal at `path` is made of: the database, then SQLite's "-wal", "-shm" and
// "-journal" beside it and the watcher's ".lock"; all of them are written by its watcher.
std::vector<std::string> journalFiles(const std::string& path);

// Rows read one at a time, none kept once returned; none when there are no more. It reads its
// reader's connection: use it while the reader lives.
template <typename Row> using RowSource = std::function<std::optional<Row>()>;

// Read-only queries of a journal, while a watcher writes it or not. The reader writes nothing,
// not even SQLite's side files; a journal from elsewhere is refused when its tables are not
// tables, and any query of it stops at a bound of work proportional to its size.
class JournalReader {
public:
    explicit JournalReader(const std::string& path);
    JournalReader(JournalReader&&) noexcept;
    ~JournalReader();

    // While it lives, every query reads the journal as it was at the first one.
    class Snapshot {
    public:
        explicit Snapshot(JournalReader& reader);
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        ~Snapshot();

    private:
        JournalReader& reader_;
    };

    // openAt, overlapping and outages as they are read, in their order.
    RowSource<Session> sessionsAt(WallClock::time_point at, std::optional<std::int32_t> station);
    RowSource<Session> sessionsOverlapping(std::optional<WallClock::time_point> since,
                                           std::optional<WallClock::time_point> until,
                                           std::optional<std::int32_t> station);
    RowSource<Blind> outagesOverlapping(std::optional<WallClock::time_point> since,
                                        std::optional<WallClock::time_point> until);
    // Flapping periods that overlap [since, until], either end open, by their start.
    RowSource<Flapping> flappingOverlapping(std::optional<WallClock::time_point> since,
                                            std::optional<WallClock::time_point> until,
                                            std::optional<std::int32_t> station);

    // Sessions connected at `at`; only sessions the watcher saw connected by then.
    std::vector<Session> openAt(WallClock::time_point at, std::optional<std::int32_t> station);
    // Sessions that overlap [since, until], either end open; the first `limit` of them, by
    // when they were seen, when one is given.
    std::vector<Session> overlapping(std::optional<WallClock::time_point> since,
                                     std::optional<WallClock::time_point> until,
                                     std::optional<std::int32_t> station,
                                     std::optional<std::size_t> limit = std::nullopt);
    // Times no watcher covered that overlap [since, until] (either end open): between two
    // watches, after a killed watcher's last heartbeat, after the last watch stopped, and before
    // the first one when `since` is given.
    std::vector<Blind> gaps(std::optional<WallClock::time_point> since,
                            std::optional<WallClock::time_point> until);
    std::vector<Blind> outages(std::optional<WallClock::time_point> since,
                               std::optional<WallClock::time_point> until);
    std::vector<Flapping> flapping(std::optional<WallClock::time_point> since,
                                   std::optional<WallClock::time_point> until,
                                   std::optional<std::int32_t> station);

    struct Handle;

private:
    std::unique_ptr<Handle> handle_;
};

} // namespace orvendal::journal
