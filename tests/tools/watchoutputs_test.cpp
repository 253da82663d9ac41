// What watch writes, and what history reads of it: never the station file, never through a link,
// never waiting on a FIFO.
#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <thread>

using namespace orvendal::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Runs stationctl to its end; one still running after `limit` is killed and fails the test, so
// that a command waiting for ever on a FIFO fails instead of hanging the suite.
Outcome finishedWithin(const std::vector<std::string>& args, const std::string& cwd = {},
                       std::chrono::seconds limit = 10s) {
    Stationctl run(args, cwd);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (run.running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (run.running()) {
        ADD_FAILURE() << "still running after " << limit.count() << " s: " << args[0];
        run.signal(SIGKILL);
    }
    return run.finish();
}

// The watcher's refusal of clashing outputs is a usage error: status 2, nothing created, also
// for an empty station file, which SQLite would take for a new database.
TEST(WatchOutputs, AnOutputThatIsTheStationFileIsAUsageError) {
    TempDir dir;
    const std::string empty = dir.file("EMPTY.SIT");
    writeBytes(empty, {});
    const Outcome run = finishedWithin({"watch", empty, "--journal", empty});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("que el monitor solo lee y nunca escribe\nPruebe 'stationctl watch "
                           "--help'."),
              std::string::npos)
        << run.err;
    EXPECT_EQ(fs::file_size(empty), 0u);
    EXPECT_FALSE(fs::exists(empty + ".lock"));
}

TEST(WatchOutputs, HistoryAndCheckNeverWaitOnASpecialFile) {
    TempDir dir;
    const std::string db = dir.file("journal.db");
    {
        // A real journal: the missing station file's outage comes after the journal is open.
        Stationctl watch({"watch", dir.file("missing.SIT"), "--journal", db, "--interval", "50"});
        ASSERT_TRUE(watch.readLineWithin(10s).has_value());
        watch.signal(SIGTERM);
        ASSERT_EQ(watch.finish().status, 0);
    }
    fs::remove(db + ".lock");
    ASSERT_EQ(::mkfifo((db + ".lock").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.db").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.SIT").c_str(), 0644), 0);
    fs::create_symlink(db, dir.file("link.db"));
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"history", db}, 1, "FIFO"},
        {{"history", dir.file("fifo.db")}, 1, "FIFO"},
        {{"history", dir.file("link.db")}, 1, "enlace"},
        {{"check", dir.file("fifo.SIT")}, 3, "FIFO"},
    };
    for (const Case& c : cases) {
        const Outcome run = finishedWithin(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[1] << ": " << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
}

} // namespace
