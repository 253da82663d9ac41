// A flood of changes through the watcher's loop, driven refresh by refresh: the locks held by
// another process, a real SQLite journal, real hook processes.
#include "drivenwatch.h"
#include "journal.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <optional>

using namespace orvendal;
using namespace orvendal::testing;

namespace {

long long count(const std::string& db, const std::string& sql) {
    sqlite3* connection = nullptr;
    sqlite3_stmt* statement = nullptr;
    long long n = -1;
    if (sqlite3_open(db.c_str(), &connection) == SQLITE_OK &&
        sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        n = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(connection);
    return n;
}

std::size_t lines(const std::string& path) {
    std::ifstream file(path);
    std::size_t n = 0;
    for (std::string line; std::getline(file, line);) {
        ++n;
    }
    return n;
}

// One lock over every record, taken and released by another process between refreshes. A flood
// (every refresh) costs a few lines and hooks and, per station, the sessions of its first 5 changes
// and one flapping period; a station that changes every 4 s is told and journalled change by
// change.
TEST(Flood, AStationFileWideLockToggledCostsABoundedAmount) {
    struct Case {
        std::string name;
        int stations;
        int every; // refreshes of 500 ms between toggles
        int toggles;
        std::size_t fewestEvents; // told to the events sink
        std::size_t events;
        std::size_t hooks; // processes started, at most
        long long sessions;
        long long flapping;             // rows, one per station
        long long flappingChanges;      // each row's
        std::uintmax_t bytesPerStation; // the journal's size, at most
    };
    const Case cases[] = {
        // Connections 1, 3 and 5 make sessions; the 6th change, within 3 s, begins the period,
        // which the 14 after it join; they settle once left alone a minute. Events: the changes
        // events of the first 6 refreshes and of the one that sees them settle.
        {"flood", 20'000, 1, 20, 7, 7, 7, 60'000, 20'000, 15, 600},
        {"a change every 4 s", 3, 8, 10, 30, 30, 30, 15, 0, 0, 1'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("MARLOVEN.SIT");
        const std::string db = dir.file("journal.db");
        const std::string hooks = dir.file("hooks");
        const std::string textfile = dir.file("orvendal.prom");
        writeStationFile(path, c.stations, 0);
        watch::Options options = watchOptions(path);
        options.journal = db;
        options.textfile = textfile;
        options.hookCommand = "echo \"$ORVENDAL_EVENT\" >> '" + hooks + "'";
        DrivenClock clock;
        Recorded seen;
        watch::Watcher watcher(options, seen.sinks(), clock, clock);
        std::optional<LockHolder> all;
        const std::vector<LockHolder::Range> every = {
            {81, static_cast<std::uint64_t>(c.stations) * 81}};
        for (int toggle = 0; toggle < c.toggles; ++toggle) {
            clock.then([&] {
                if (all) {
                    all.reset();
                } else {
                    all.emplace(path, every);
                }
            });
            for (int idle = 1; idle < c.every; ++idle) {
                clock.then([] {});
            }
        }
        clock.then([&] { clock.advance(std::chrono::seconds(61)); });
        clock.then([] {});
        EXPECT_EQ(watcher.run(), 0);

        EXPECT_GE(seen.all.size(), c.fewestEvents);
        EXPECT_LE(seen.all.size(), c.events);
        EXPECT_LE(lines(hooks), c.hooks);
        EXPECT_EQ(seen.reported("descartadas"), 0u) << ::testing::PrintToString(seen.reports());
        EXPECT_EQ(count(db, "SELECT count(*) FROM sessions"), c.sessions);
        EXPECT_EQ(count(db, "SELECT count(*) FROM sessions WHERE end_ms IS NULL"), 0);
        EXPECT_EQ(count(db, "SELECT count(*) FROM flapping"), c.flapping);
        EXPECT_EQ(count(db, "SELECT count(*) FROM flapping WHERE ended = 'settled' AND changes = " +
                                std::to_string(c.flappingChanges)),
                  c.flapping);
        EXPECT_LE(std::filesystem::file_size(db) + std::filesystem::file_size(db + "-wal"),
                  c.bytesPerStation * static_cast<std::uintmax_t>(c.stations));
        // What was folded is said: on the report sink, and in the textfile's counters.
        EXPECT_EQ(seen.reported("puestos empezaron a cambiar de estado sin parar") > 0,
                  c.flapping > 0);
        std::ifstream prom(textfile);
        const std::string metrics{std::istreambuf_iterator<char>(prom), {}};
        const std::string file = "{file=\"" + path + "\"} ";
        EXPECT_NE(metrics.find("orvendal_flapping_periods_total" + file +
                               std::to_string(c.flapping) + "\n"),
                  std::string::npos)
            << metrics.substr(0, 3000);
        EXPECT_NE(metrics.find("orvendal_flapping_changes_total" + file +
                               std::to_string(c.flapping * c.flappingChanges) + "\n"),
                  std::string::npos);
    }
}

} // namespace
