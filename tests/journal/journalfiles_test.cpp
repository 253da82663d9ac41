// A journal as another local user or another program may leave it: in a folder others may
// write, with side files planted there, of a newer version, or no journal at all.
#include "filebytes.h"
#include "journal.h"
#include "journalkeeper.h"
#include "journalschema.h"
#include "sqlitedatabase.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvendal;
using namespace orvendal::journal;
using namespace orvendal::testing;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// How many of the side file names SQLite makes later another user takes or removes.
int takenByNobody(const std::string& db) {
    const pid_t child = ::fork();
    if (child == 0) {
        int taken = 100 * (::setresgid(kNobody, kNobody, kNobody) != 0 ||
                           ::setresuid(kNobody, kNobody, kNobody) != 0);
        for (const std::string& name : {db + "-wal", db + "-shm", db + "-journal"}) {
            taken += ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666) >= 0 ||
                     ::unlink(name.c_str()) == 0;
        }
        ::_exit(taken);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// What the watcher's open of the journal throws; a code of 0 when it opens.
Error watchRefusal(const std::string& db) {
    try {
        Journal::open(db, "MARLOVEN.SIT", WallClock::now(), Milliseconds(500));
        return Error({}, "");
    } catch (const Error& error) {
        return error;
    }
}

TEST(JournalFolder, NoOtherUserTakesOrWritesTheJournalsFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    const struct {
        fs::perms mode;
        uid_t owner;
        const char* planted; // by nobody, before the watcher starts
        const char* refusal; // none when the watcher opens it
    } cases[] = {
        {fs::perms(0777), 0, nullptr, "sticky"},
        {fs::perms(0755), kNobody, nullptr, "otro usuario"},
        {fs::perms(01777), 0, "-wal", "otro usuario"},
        {fs::perms(01777), 0, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        TempDir dir;
        fs::permissions(dir.path(), fs::perms(0755));
        fs::create_directory(dir.path() / "shared");
        fs::permissions(dir.path() / "shared", c.mode);
        ASSERT_EQ(::chown(dir.file("shared").c_str(), c.owner, c.owner), 0);
        const std::string db = dir.file("shared/journal.db");
        if (c.planted) {
            writeBytes(db + c.planted, {'m', 'i', 'o'});
            ASSERT_EQ(::chown((db + c.planted).c_str(), kNobody, kNobody), 0);
        }
        if (c.refusal) {
            const Error refused = watchRefusal(db);
            EXPECT_NE(refused.description().find(c.refusal), std::string::npos)
                << refused.text('-');
            EXPECT_EQ(c.planted ? readBytes(db + c.planted).size() : 3u, 3u);
            continue;
        }
        const auto now = WallClock::now();
        // A new journal, then a stopped one started again: while it runs and once it stopped.
        for (int start = 0; start < 2; ++start) {
            {
                Journal journal = Journal::open(db, "MARLOVEN.SIT", now, Milliseconds(500));
                EXPECT_EQ(takenByNobody(db), 0) << start;
                EXPECT_FALSE(journal.stop(now));
            }
            EXPECT_EQ(takenByNobody(db), 0) << start;
        }
    }
}

TEST(JournalVersions, AJournalThisVersionCannotKeepIsRefusedAndLeftAsItWas) {
    std::string layout = "PRAGMA journal_mode = WAL;";
    for (const std::string_view step : schema::kUpgrades) {
        layout += step;
    }
    const std::string newer = "PRAGMA user_version = " + std::to_string(schema::kVersion + 1);
    const std::string says = "versión " + std::to_string(schema::kVersion + 1) +
                             " del esquema, y este stationctl solo conoce hasta la " +
                             std::to_string(schema::kVersion);
    const struct {
        std::string sql;
        bool unfolded; // its log left as a killed writer leaves it: folding it in would write
        std::error_code refused;
        std::string says;
    } cases[] = {
        {layout + newer, false, errc::NewerJournal, says},
        {layout + newer, true, errc::NewerJournal, says},
        {"PRAGMA journal_mode = WAL; CREATE TABLE t (x);", false, errc::NotAJournal, "otro"},
        // The second step's third column is there already: its first two must not stay.
        {"PRAGMA journal_mode = WAL;" + std::string(schema::kUpgrades[0]) +
             "ALTER TABLE sessions ADD COLUMN started_after_ms INTEGER; PRAGMA user_version = 1;",
         false,
         {SQLITE_ERROR, sqliteCategory()},
         "started_after_ms"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        TempDir dir;
        const std::string db = dir.file("journal.db");
        {
            Database made(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            made.exec(c.sql);
            sqlite3_db_config(made.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, c.unfolded, nullptr);
        }
        ASSERT_EQ(fs::exists(db + "-wal"), c.unfolded);
        const auto bytes = [&] {
            return std::tuple(readBytes(db), readBytes(db + "-wal"), fs::exists(db + "-wal"),
                              fs::exists(db + "-shm"));
        };
        const auto before = bytes();
        if (c.refused == errc::NewerJournal) {
            EXPECT_THROW(JournalReader{db}, Error) << "history";
        }
        const Error watch = watchRefusal(db);
        EXPECT_EQ(watch.code(), c.refused) << watch.text('-');
        EXPECT_NE(watch.description().find(c.says), std::string::npos) << watch.text('-');
        EXPECT_EQ(lastingFailure(watch), c.refused.category() == orvendalCategory());
        EXPECT_EQ(bytes(), before);
    }
}

} // namespace
