// What the watcher and history do with a journal whose layout is not this program's: a newer
// one, another program's database, an older one whose upgrade fails halfway.
#include "filebytes.h"
#include "journal.h"
#include "journalkeeper.h"
#include "journalschema.h"
#include "sqlitedatabase.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

using namespace orvendal;
using namespace orvendal::journal;
using namespace orvendal::testing;

namespace {

std::string currentLayout() {
    std::string sql = "PRAGMA journal_mode = WAL;";
    for (const std::string_view step : schema::kUpgrades) {
        sql += step;
    }
    return sql;
}

// Each file of the journal that exists, by its suffix.
std::map<std::string, std::vector<unsigned char>> journalBytes(const std::string& db) {
    std::map<std::string, std::vector<unsigned char>> bytes;
    for (const char* suffix : {"", "-wal"}) {
        if (std::filesystem::exists(db + suffix)) {
            bytes[suffix] = readBytes(db + suffix);
        }
    }
    return bytes;
}

TEST(JournalVersions, AJournalThisVersionCannotKeepIsRefusedAndLeftAsItWas) {
    const std::string newer = std::to_string(schema::kVersion + 1);
    const std::string current = std::to_string(schema::kVersion);
    const struct {
        const char* what;
        std::string sql;
        bool unfolded;          // its write-ahead log left as a killed writer leaves it
        bool readable;          // by history
        std::error_code opened; // what the watcher's open throws
        std::vector<std::string> says;
    } cases[] = {
        {"a newer journal",
         currentLayout() +
             "CREATE TABLE flaps (id INTEGER PRIMARY KEY);"
             "PRAGMA user_version = " +
             newer,
         false,
         false,
         errc::NewerJournal,
         {"versión " + newer, "hasta la " + current}},
        // Folding its log in on close would write a newer program's pages into the file.
        {"a newer journal, its log unfolded",
         currentLayout() + "PRAGMA user_version = " + newer,
         true,
         false,
         errc::NewerJournal,
         {"versión " + newer, "hasta la " + current}},
        {"another program's database",
         "PRAGMA journal_mode = WAL; CREATE TABLE t (x);",
         false,
         false,
         errc::NotAJournal,
         {"otro programa"}},
        // The second step's third column is there already: its first two must not stay.
        {"an older journal whose upgrade fails halfway",
         "PRAGMA journal_mode = WAL;" + std::string(schema::kUpgrades[0]) +
             "ALTER TABLE sessions ADD COLUMN started_after_ms INTEGER; PRAGMA user_version = 1;",
         false,
         true,
         {SQLITE_ERROR, sqliteCategory()},
         {"started_after_ms"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string db = dir.file("journal.db");
        {
            Database made(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            made.exec(c.sql);
            sqlite3_db_config(made.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, c.unfolded ? 1 : 0,
                              nullptr);
        }
        const auto before = journalBytes(db);
        ASSERT_EQ(before.contains("-wal"), c.unfolded);

        if (c.readable) {
            EXPECT_NO_THROW(JournalReader(db).gaps(std::nullopt, std::nullopt));
        } else {
            try {
                JournalReader reader(db);
                ADD_FAILURE() << "history read it";
            } catch (const Error& error) {
                if (c.opened == errc::NewerJournal) {
                    EXPECT_EQ(error.code(), c.opened) << error.text('-');
                }
            }
        }
        try {
            Journal::open(db, "MARLOVEN.SIT", WallClock::now(), Milliseconds(500));
            ADD_FAILURE() << "the watcher opened it";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), c.opened) << error.text('-');
            for (const std::string& part : c.says) {
                EXPECT_NE(error.description().find(part), std::string::npos) << error.text('-');
            }
            EXPECT_EQ(lastingFailure(error), c.opened.category() == orvendalCategory());
        }
        EXPECT_EQ(journalBytes(db), before);
    }
}

} // namespace
