#include "fileidentity.h"
#include "journal.h"
#include "journalclaim.h"
#include "journalschema.h"
#include "sqlitedatabase.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <utility>

namespace orvendal::journal {
namespace {

const std::array<std::string, 4> kCloseLeftovers = {
    "UPDATE sessions SET ended = 'unknown', end_ms = (SELECT " +
        schema::leftoverEnd("watches.interval_ms") +
        " FROM watches WHERE watches.id = sessions.watch) WHERE end_ms IS NULL",
    "UPDATE outages SET ended = 'unknown', end_ms = max(start_ms, "
    "(SELECT heartbeat_ms FROM watches WHERE watches.id = outages.watch)) WHERE end_ms IS NULL",
    "UPDATE flapping SET ended = 'unknown', end_ms = max(start_ms, "
    "(SELECT heartbeat_ms FROM watches WHERE watches.id = flapping.watch)) WHERE end_ms IS NULL",
    "UPDATE watches SET ended = 'unknown', ended_ms = heartbeat_ms WHERE ended IS NULL"};

std::optional<long long> afterMs(const station::Event& e) {
    return e.changedAfter ? std::optional(epochMilliseconds(*e.changedAfter)) : std::nullopt;
}

std::optional<std::string> utf8(const std::optional<station::StationFields>& f,
                                std::u16string station::StationFields::*m) {
    if (!f) {
        return std::nullopt;
    }
    return toUtf8((*f).*m);
}

} // namespace

struct Journal::Handle {
    // The rows still open, as far as committed transactions know them.
    struct Open {
        std::map<std::int64_t, long long> sessions; // by rec
        std::map<std::int64_t, long long> flapping; // by rec
        std::optional<long long> outage;
    };

    WatcherClaim lock;
    Database database;
    std::string path;
    std::optional<std::string> movedAside;
    long long watch = 0;
    int closedAsUnknown = 0;
    Open open;
    Statement beat;
    Statement insertSession;
    Statement endSession;
    Statement insertOutage;
    Statement endOutage;
    Statement insertFlapping;
    Statement endFlapping;

    Handle(WatcherClaim l, Database d)
        : lock(std::move(l)), database(std::move(d)),
          beat(database, "UPDATE watches SET heartbeat_ms = max(heartbeat_ms, ?2) WHERE id = ?1"),
          insertSession(database,
                        "INSERT INTO sessions (watch, rec, lc, station, connection, name, tally, "
                        "start_ms, seen_ms, started_after_ms) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"),
          endSession(database, "UPDATE sessions SET end_ms = ?2, ended = ?3, seconds = ?4, "
                               "ended_after_ms = ?5 WHERE id = ?1"),
          insertOutage(database,
                       "INSERT INTO outages (watch, start_ms, error) VALUES (?1, ?2, ?3)"),
          endOutage(database, "UPDATE outages SET end_ms = ?2, ended = ?3 WHERE id = ?1"),
          insertFlapping(database,
                         "INSERT INTO flapping (watch, rec, lc, station, connection, name, tally, "
                         "start_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
          endFlapping(database,
                      "UPDATE flapping SET end_ms = ?2, ended = ?3, changes = ?4 WHERE id = ?1") {}

    // The station's fields as a session's or a flapping period's row keeps them, from ?3 on.
    static void bindFields(Statement& insert, const station::Event& e) {
        const auto& f = e.fields;
        insert.bind(3, utf8(f, &station::StationFields::lc));
        insert.bind(4, f ? std::optional<long long>(f->station) : std::nullopt);
        insert.bind(5, utf8(f, &station::StationFields::connection));
        insert.bind(6, utf8(f, &station::StationFields::name));
        insert.bind(7, f ? std::optional<long long>(f->tally) : std::nullopt);
    }

    void closeSession(Open& open, const station::Event& e, const char* how) {
        const auto found = open.sessions.find(e.rec);
        if (found == open.sessions.end()) {
            return;
        }
        endSession.bind(1, found->second).bind(2, epochMilliseconds(e.time));
        endSession.bind(3, std::string(how)).bind(4, e.seconds);
        endSession.bind(5, afterMs(e));
        endSession.run();
        open.sessions.erase(found);
    }
    void closeFlapping(Open& open, const station::Event& e, const char* how) {
        const auto found = open.flapping.find(e.rec);
        if (found == open.flapping.end()) {
            return;
        }
        endFlapping.bind(1, found->second).bind(2, epochMilliseconds(*e.flappingUntil));
        endFlapping.bind(3, std::string(how));
        endFlapping.bind(4, e.changes ? std::optional<long long>(*e.changes) : std::nullopt).run();
        open.flapping.erase(found);
    }
    void closeOutage(Open& open, long long endMs, const char* how) {
        if (open.outage) {
            endOutage.bind(1, *open.outage).bind(2, endMs).bind(3, std::string(how)).run();
            open.outage.reset();
        }
    }
};

namespace {

// Moves a corrupt journal and SQLite's files beside it to "DB.corrupt-YYYYMMDDTHHMMSS" (and its
// "-wal" and "-shm"), never over a file already there; returns the database's new name.
std::string moveAside(const std::string& db, WallClock::time_point now) {
    const std::tm t = localTime(WallClock::to_time_t(now));
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &t);
    const std::string aside = db + ".corrupt-" + stamp;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string from = db + suffix, to = aside + suffix;
        moveCorruptFile(from, to);
    }
    return aside;
}

// Sets the journal up for this watcher under `lock`, which it takes only once all is committed.
std::unique_ptr<Journal::Handle> begin(WatcherClaim& lock, const std::string& db, Folder folder,
                                       const std::string& stationFile, WallClock::time_point now,
                                       Milliseconds interval) {
    if (folder == Folder::Sticky) {
        takeSideFiles(db);
    }
    // A newer watcher's log left unfolded stays so when its journal is refused.
    std::error_code none;
    const std::string log = db + "-wal";
    const auto logSize = std::filesystem::file_size(std::u8string(log.begin(), log.end()), none);
    const bool logged = !none && logSize > 0;
    Database database(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    int version = 0;
    try {
        version = schema::checkedVersion(database, db);
    } catch (const Error&) {
        if (logged) {
            sqlite3_db_config(database.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        }
        throw;
    }
    database.exec(
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON;");
    if (folder == Folder::Sticky) {
        // Closing keeps "-wal" and "-shm", emptied, so that their names stay ours.
        int keep = 1;
        sqlite3_file_control(database.handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
        database.exec("PRAGMA journal_size_limit = 0;");
    }
    // Before the transaction, so that its rollback meets the connection still open.
    std::unique_ptr<Journal::Handle> handle;
    Transaction transaction(database);
    schema::upgrade(database, version);
    int closed = 0;
    for (std::size_t i = 0; i < kCloseLeftovers.size(); ++i) {
        database.exec(kCloseLeftovers[i]);
        closed += i + 1 < kCloseLeftovers.size() ? static_cast<int>(database.changes()) : 0;
    }
    // The statements of the handle need the tables above.
    handle = std::make_unique<Journal::Handle>(std::move(lock), std::move(database));
    {
        Statement insert(handle->database,
                         "INSERT INTO watches (station_file, pid, started_ms, heartbeat_ms, "
                         "interval_ms) VALUES (?1, ?2, ?3, ?3, ?4)");
        insert.bind(1, stationFile).bind(2, processId());
        insert.bind(3, epochMilliseconds(now));
        insert.bind(4, static_cast<long long>(interval.count())).run();
    }
    handle->watch = handle->database.lastInsertId();
    transaction.commit();
    handle->closedAsUnknown = closed;
    handle->path = db;
    return handle;
}

} // namespace

Journal Journal::open(const std::string& path, const std::string& stationFile,
                      WallClock::time_point now, Milliseconds interval, std::int64_t maxBytes) {
    const std::string db = checkedJournal(path, files::Owner::Us);
    const Folder folder = checkedFolder(db);
    std::optional<WatcherClaim> lock(std::in_place, db);
    std::optional<Journal> journal;
    try {
        journal.emplace(Journal(begin(*lock, db, folder, stationFile, now, interval)));
    } catch (const Error& error) {
        if (!corruptJournal(error.code())) {
            throw;
        }
    }
    if (!journal) {
        // Moved while this watcher still holds it; the new file gets a claim of its own.
        const std::string aside = moveAside(db, now);
        lock.reset();
        lock.emplace(db);
        journal.emplace(Journal(begin(*lock, db, folder, stationFile, now, interval)));
        journal->handle_->movedAside = aside;
    }
    // Only once the watch is begun: a journal at its bound still opens, so that retention can
    // make room in it.
    if (maxBytes > 0) {
        Database& database = journal->handle_->database;
        Statement size(database, "PRAGMA page_size");
        const long long page = size.step() ? size.integer("page_size") : 4096;
        size.run();
        database.exec("PRAGMA max_page_count = " +
                      std::to_string(std::max<long long>(1, maxBytes / page)));
    }
    return std::move(*journal);
}

Journal::Journal(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;
Journal::~Journal() = default;

int Journal::closedAsUnknown() const {
    return handle_->closedAsUnknown;
}

std::optional<std::string> Journal::movedAside() const {
    return handle_->movedAside;
}

bool Journal::replaced() const {
    return files::identityOf(handle_->path) != handle_->lock.identity();
}

bool Journal::atLimit() const {
    // A refresh that failed rolled back the pages it added: near the bound counts, since one
    // flood's refresh can need thousands of pages.
    Statement query(handle_->database,
                    "SELECT p.page_count >= m.max_page_count - m.max_page_count / 16 AS full "
                    "FROM pragma_page_count AS p, pragma_max_page_count AS m");
    const bool full = query.step() && query.integer("full") != 0;
    query.run();
    return full;
}

void Journal::record(std::span<const station::Event> events, WallClock::time_point now) {
    Handle& h = *handle_;
    // Row ids of this transaction's rows, kept only once it commits: a rollback leaves none.
    Handle::Open open = h.open;
    Transaction transaction(h.database);
    for (const station::Event& e : events) {
        const long long at = epochMilliseconds(e.time);
        switch (e.kind) {
        case station::EventKind::Connected: {
            h.insertSession.bind(1, h.watch).bind(2, static_cast<long long>(e.rec));
            Handle::bindFields(h.insertSession, e);
            h.insertSession.bind(8, e.atStart ? std::nullopt : std::optional<long long>(at));
            h.insertSession.bind(9, at).bind(10, afterMs(e)).run();
            open.sessions[e.rec] = h.database.lastInsertId();
            break;
        }
        case station::EventKind::Disconnected:
            h.closeSession(open, e, "disconnected");
            break;
        case station::EventKind::Stopped:
            if (e.flappingSince) {
                h.closeFlapping(open, e, "stopped");
            } else {
                h.closeSession(open, e, "stopped");
            }
            break;
        case station::EventKind::Flapping:
            h.insertFlapping.bind(1, h.watch).bind(2, static_cast<long long>(e.rec));
            Handle::bindFields(h.insertFlapping, e);
            h.insertFlapping.bind(8, epochMilliseconds(*e.flappingSince)).run();
            open.flapping[e.rec] = h.database.lastInsertId();
            break;
        case station::EventKind::FlappingEnded:
            h.closeFlapping(open, e, "settled");
            break;
        case station::EventKind::Changes:
            // Announced only: the changes it stands for come one by one.
            break;
        case station::EventKind::Outage:
            h.closeOutage(open, at, "recovered");
            h.insertOutage.bind(1, h.watch).bind(2, at).bind(3, e.error).run();
            open.outage = h.database.lastInsertId();
            break;
        case station::EventKind::Recovered:
            h.closeOutage(open, at, "recovered");
            break;
        }
    }
    h.beat.bind(1, h.watch).bind(2, epochMilliseconds(now)).run();
    transaction.commit();
    h.open = std::move(open);
}

void Journal::heartbeat(WallClock::time_point now) {
    handle_->beat.bind(1, handle_->watch).bind(2, epochMilliseconds(now)).run();
}

std::optional<Error> Journal::stop(WallClock::time_point now) {
    Handle& h = *handle_;
    const long long at = epochMilliseconds(now);
    Handle::Open open = h.open;
    Transaction transaction(h.database);
    h.closeOutage(open, at, "stopped");
    Statement ended(h.database, "UPDATE watches SET heartbeat_ms = max(heartbeat_ms, ?2), "
                                "ended_ms = ?2, ended = 'stopped' WHERE id = ?1");
    ended.bind(1, h.watch).bind(2, at).run();
    transaction.commit();
    h.open = std::move(open);
    // Into the database file itself: SQLite does not at its close once the file was renamed or
    // deleted, and a journal begun at the path would take the WAL left there as its own.
    return h.database.checkpoint();
}

Journal::Pruned Journal::prune(WallClock::time_point before) {
    Handle& h = *handle_;
    // Ended before `before` implies seen before it: the time index finds them.
    constexpr std::string_view kBatches[] = {
        "DELETE FROM sessions WHERE id IN (SELECT id FROM sessions WHERE seen_ms < ?1 AND "
        "end_ms < ?1 LIMIT 10000)",
        "DELETE FROM outages WHERE id IN (SELECT id FROM outages WHERE end_ms < ?1 LIMIT 10000)",
        "DELETE FROM flapping WHERE id IN (SELECT id FROM flapping WHERE start_ms < ?1 AND "
        "end_ms < ?1 LIMIT 10000)",
    };
    long long deleted[3] = {0, 0, 0};
    for (std::size_t i = 0; i < std::size(kBatches); ++i) {
        Statement batch(h.database, kBatches[i]);
        for (long long changed = 1; changed > 0; deleted[i] += changed) {
            Transaction transaction(h.database);
            batch.bind(1, epochMilliseconds(before)).run();
            changed = h.database.changes();
            transaction.commit();
        }
    }
    Statement watches(h.database,
                      "DELETE FROM watches WHERE ended_ms < ?1 AND id <> ?2 AND id NOT IN "
                      "(SELECT watch FROM sessions) AND id NOT IN (SELECT watch FROM outages) "
                      "AND id NOT IN (SELECT watch FROM flapping)");
    watches.bind(1, epochMilliseconds(before)).bind(2, h.watch).run();
    return {deleted[0], deleted[1], deleted[2]};
}

} // namespace orvendal::journal
