#include "fulldisk.h"
#include "journal.h"
#include "journalkeeper.h"
#include "sqlitedatabase.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace orvendal;
using namespace orvendal::journal;
using namespace orvendal::testing;

namespace {

std::size_t count(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.find(part) != std::string::npos;
    }));
}

TEST(JournalKeeper, TransitionsWaitInMemoryUpToTheirBoundWhileTheDiskIsFull) {
    TempDir dir;
    const SmallDisk small(dir.file("small"), "256k");
    if (!small.mounted()) {
        GTEST_SKIP() << "mounting a small tmpfs is not permitted here: " << small.refusal();
    }
    const std::string db = small.file("journal.db");
    std::vector<std::string> lines;
    const auto now = WallClock::now();
    JournalKeeper keeper(
        db, "MARLOVEN.SIT", [&](const std::string& l) { lines.push_back(l); }, now,
        Milliseconds(500), 3);
    ASSERT_TRUE(keeper.up());

    small.fill();
    for (int rec = 0; rec < 5; ++rec) {
        station::Event connected;
        connected.time = now + std::chrono::seconds(rec);
        connected.rec = rec;
        keeper.record({&connected, 1}, connected.time, SteadyClock::now());
        EXPECT_FALSE(keeper.up()) << "rec " << rec;
    }
    small.free();
    keeper.reopen(now + std::chrono::seconds(6));
    EXPECT_TRUE(keeper.up());
    keeper.stop({}, now + std::chrono::seconds(7));

    EXPECT_EQ(count(lines, " falla ("), 1u) << "told once for the episode";
    EXPECT_EQ(count(lines, "las siguientes se descartan"), 1u);
    EXPECT_EQ(count(lines, "vuelve a funcionar; se descartaron 2 transiciones"), 1u)
        << ::testing::PrintToString(lines);
    std::vector<std::int64_t> recs;
    for (const Session& s :
         JournalReader(db).overlapping(std::nullopt, std::nullopt, std::nullopt)) {
        recs.push_back(s.rec);
    }
    EXPECT_EQ(recs, (std::vector<std::int64_t>{0, 1, 2})) << "the first three, in their order";
}

// A reader in the write-ahead log keeps the stop's checkpoint from emptying it, after the stop's
// commit: the stop must stand as committed, and be told as such, not as transitions lost.
TEST(JournalKeeper, AStopWhoseLogCannotBeFoldedInStandsAsCommitted) {
    TempDir dir;
    const std::string db = dir.file("journal.db");
    std::vector<std::string> lines;
    const auto now = fromEpochMilliseconds(epochMilliseconds(WallClock::now()));
    JournalKeeper keeper(
        db, "MARLOVEN.SIT", [&](const std::string& l) { lines.push_back(l); }, now,
        Milliseconds(500));
    station::Event outage;
    outage.kind = station::EventKind::Outage;
    outage.time = now + std::chrono::seconds(1);
    outage.error = "2-No such file or directory";
    keeper.record({&outage, 1}, outage.time, SteadyClock::now());

    Database reader(db, SQLITE_OPEN_READONLY);
    reader.exec("BEGIN; SELECT count(*) FROM outages;");
    const auto stopped = now + std::chrono::seconds(2);
    keeper.stop({}, stopped);
    EXPECT_GT(std::filesystem::file_size(db + "-wal"), 0u) << "the log was not folded in";
    reader.exec("COMMIT");

    EXPECT_EQ(
        count(lines, "ha guardado todos sus cambios, pero su registro de escritura anticipada"), 1u)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(count(lines, "database is locked"), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.size(), 1u) << "no failure, nothing lost: " << ::testing::PrintToString(lines);
    // Read while this watcher still holds the journal: an open outage or watch would read as
    // going on.
    JournalReader journal(db);
    const std::vector<Blind> outages = journal.outages(std::nullopt, std::nullopt);
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].to, stopped) << "the outage ends with the stop";
    const std::vector<Blind> gaps = journal.gaps(std::nullopt, std::nullopt);
    ASSERT_EQ(gaps.size(), 1u) << "the watch has ended";
    EXPECT_EQ(gaps[0].from, stopped);
    EXPECT_FALSE(gaps[0].to);
}

} // namespace

// A failure is told by its code's category as well as its number: SQLite's SQLITE_CORRUPT and
// errno's EAGAIN are both 11, and only another watcher holding the journal is lasting.
TEST(JournalKeeper, OnlyFailuresRetryingCannotMendAreLasting) {
    const struct {
        Error error;
        bool lasting;
    } cases[] = {
        {Error(errnoCode(EAGAIN), "otro vigilante"), true},
        {Error(errc::NotRegularFile, "FIFO"), true},
        {Error::fromErrno(ELOOP), true},
        {Error({11, sqliteCategory()}, "database disk image is malformed"), false},
        {Error::fromErrno(ENOSPC), false},
        {Error({1002, sqliteCategory()}, "extended result code"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lastingFailure(c.error), c.lasting)
            << c.error.code().category().name() << ' ' << c.error.text('-');
    }
}
