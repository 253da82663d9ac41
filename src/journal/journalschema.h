#pragma once

#include <array>
#include <string>
#include <string_view>

// The journal's tables, as the watcher writes them and history reads them.
namespace orvendal::journal::schema {

inline constexpr std::string_view kTables = R"sql(
CREATE TABLE IF NOT EXISTS watches (
    id           INTEGER PRIMARY KEY,
    station_file TEXT    NOT NULL,
    pid          INTEGER NOT NULL,
    started_ms   INTEGER NOT NULL,
    heartbeat_ms INTEGER NOT NULL,
    ended_ms     INTEGER,
    ended        TEXT CHECK (ended IN ('stopped', 'unknown')),
    interval_ms  INTEGER
);
CREATE TABLE IF NOT EXISTS sessions (
    id         INTEGER PRIMARY KEY,
    watch      INTEGER NOT NULL REFERENCES watches (id),
    rec        INTEGER NOT NULL,
    lc         TEXT,
    station    INTEGER,
    connection TEXT,
    name       TEXT,
    tally      INTEGER,
    start_ms   INTEGER,
    seen_ms    INTEGER NOT NULL,
    end_ms     INTEGER,
    ended      TEXT CHECK (ended IN ('disconnected', 'stopped', 'unknown')),
    seconds    REAL,
    ended_after_ms INTEGER,
    started_after_ms INTEGER
);
CREATE INDEX IF NOT EXISTS sessions_by_time ON sessions (seen_ms, end_ms);
CREATE INDEX IF NOT EXISTS sessions_by_rec ON sessions (rec, id);
CREATE TABLE IF NOT EXISTS outages (
    id       INTEGER PRIMARY KEY,
    watch    INTEGER NOT NULL REFERENCES watches (id),
    start_ms INTEGER NOT NULL,
    end_ms   INTEGER,
    error    TEXT    NOT NULL,
    ended    TEXT CHECK (ended IN ('recovered', 'stopped', 'unknown'))
);
CREATE TABLE IF NOT EXISTS flapping (
    id         INTEGER PRIMARY KEY,
    watch      INTEGER NOT NULL REFERENCES watches (id),
    rec        INTEGER NOT NULL,
    lc         TEXT,
    station    INTEGER,
    connection TEXT,
    name       TEXT,
    tally      INTEGER,
    start_ms   INTEGER NOT NULL,
    end_ms     INTEGER,
    changes    INTEGER,
    ended      TEXT CHECK (ended IN ('settled', 'stopped', 'unknown'))
);
CREATE INDEX IF NOT EXISTS flapping_by_time ON flapping (start_ms, end_ms);
PRAGMA user_version = 2;
)sql";

// Columns that journals of user_version 1 lack: added in place, and read as NULL there.
struct AddedColumn {
    const char* table;
    const char* name;
};
inline constexpr std::array<AddedColumn, 3> kAddedColumns = {
    {{"watches", "interval_ms"}, {"sessions", "ended_after_ms"}, {"sessions", "started_after_ms"}}};

// Where a session a killed watcher left open ends: its watcher's last heartbeat, but never
// before one refresh interval after the refresh that saw it, which stood for the station's state
// until the next one (as a disconnection is stamped up to one interval late). Never at the
// restart, which would invent hours of connection. `interval` is NULL in old journals.
inline std::string leftoverEnd(std::string_view interval) {
    return "max(sessions.seen_ms + coalesce(" + std::string(interval) +
           ", 0), watches.heartbeat_ms)";
}

} // namespace orvendal::journal::schema
