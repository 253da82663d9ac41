// What watch writes, and what history reads of it: never the station file, never through a link,
// never waiting on a FIFO.
#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
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

std::set<std::string> entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

TEST(WatchOutputs, AnOutputThatIsTheStationFileOrAnotherOutputIsRefused) {
    struct Case {
        const char* station;
        std::vector<std::string> outputs;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"MARLOVEN.SIT", {"--prometheus", "MARLOVEN.SIT"}, "nunca escribe"},
        {"MARLOVEN.SIT", {"--prometheus", "./MARLOVEN.SIT"}, "nunca escribe"},
        {"MARLOVEN.SIT", {"--journal", "MARLOVEN.SIT"}, "nunca escribe"},
        {"MARLOVEN.SIT", {"--journal", "hard.SIT"}, "nunca escribe"}, // a hard link to it
        {"w.db-wal", {"--journal", "w.db"}, "nunca escribe"},
        {"MARLOVEN.SIT", {"--journal", "j.db", "--prometheus", "j.db-shm"}, "cada salida"},
        {"MARLOVEN.SIT", {"--journal", "j.db", "--prometheus", "../work/j.db.lock"}, "cada salida"},
        {"MARLOVEN.SIT", {"--journal", "j.db", "--prometheus", "./j.db"}, "cada salida"},
        // node_exporter reads only *.prom, with that case.
        {"MARLOVEN.SIT", {"--prometheus", "orvendal.txt"}, "solo leen los ficheros *.prom"},
        {"MARLOVEN.SIT", {"--prometheus", "orvendal.PROM"}, "solo leen los ficheros *.prom"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string work = dir.file("work");
        fs::create_directory(work);
        const std::string station = work + "/" + c.station;
        writeStationFile(station, 2, 0);
        fs::create_hard_link(station, work + "/hard.SIT");
        const auto bytes = readBytes(station);
        const auto before = entries(work);

        std::vector<std::string> args{"watch", c.station};
        args.insert(args.end(), c.outputs.begin(), c.outputs.end());
        const Outcome run = finishedWithin(args, work);
        EXPECT_EQ(run.status, 2) << c.outputs[1] << ": " << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(readBytes(station), bytes) << c.outputs[1];
        EXPECT_EQ(entries(work), before) << c.outputs[1] << ": nothing may be created";
    }
    // The same refusal for an empty station file, which SQLite would take for a new database.
    TempDir dir;
    const std::string empty = dir.file("EMPTY.SIT");
    writeBytes(empty, {});
    EXPECT_EQ(finishedWithin({"watch", empty, "--journal", empty}).status, 2);
    EXPECT_EQ(fs::file_size(empty), 0u);
    EXPECT_FALSE(fs::exists(empty + ".lock"));
}

TEST(WatchOutputs, ALinkOrSpecialFileAtAnOutputIsRefusedAndItsTargetKept) {
    TempDir dir;
    const std::string station = dir.file("MARLOVEN.SIT");
    writeStationFile(station, 2, 0);
    const std::string victim = dir.file("victim");
    writeBytes(victim, {'k', 'e', 'e', 'p', '\n'});
    enum Kind { Link, Dangling, Fifo, OtherUser };
    struct Case {
        const char* planted;
        Kind kind;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"journal.db", Link, "enlace"},      {"journal.db", Dangling, "enlace"},
        {"journal.db-wal", Link, "enlace"},  {"journal.db-shm", Link, "enlace"},
        {"journal.db.lock", Link, "enlace"}, {"orvendal.prom", Link, "enlace"},
        {"journal.db.lock", Fifo, "FIFO"},   {"journal.db-wal", Fifo, "FIFO"},
        {"orvendal.prom", Fifo, "FIFO"},     {"journal.db.lock", OtherUser, "otro usuario"},
    };
    for (const Case& c : cases) {
        const std::string planted = dir.file(c.planted);
        if (c.kind == OtherUser) {
            writeBytes(planted, {'4', '2', '\n'});
            // Only root can give a file away; elsewhere this case cannot be made.
            if (::chown(planted.c_str(), 65534, 65534) != 0) {
                fs::remove(planted);
                continue;
            }
        } else if (c.kind == Fifo) {
            ASSERT_EQ(::mkfifo(planted.c_str(), 0644), 0);
        } else {
            fs::create_symlink(c.kind == Link ? victim : dir.file("made-by-nobody"), planted);
        }
        const Outcome run =
            finishedWithin({"watch", station, "--journal", dir.file("journal.db"), "--prometheus",
                            dir.file("orvendal.prom"), "--interval", "50"});
        EXPECT_EQ(run.status, 1) << c.planted << ' ' << c.kind << ": " << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(readBytes(victim), (std::vector<unsigned char>{'k', 'e', 'e', 'p', '\n'}));
        EXPECT_FALSE(fs::exists(dir.file("made-by-nobody"))) << c.planted;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("journal.db") || name.starts_with("orvendal.prom")) {
                fs::remove(entry.path());
            }
        }
    }
}

TEST(WatchOutputs, TheTextfileIsNeverWrittenThroughALink) {
    TempDir dir;
    const std::string station = dir.file("MARLOVEN.SIT");
    const std::string prom = dir.file("orvendal.prom");
    const std::string victim = dir.file("victim");
    writeStationFile(station, 2, 0);
    writeBytes(victim, {'k', 'e', 'e', 'p', '\n'});
    // Where the temporary used to be, at a name anyone could tell in advance.
    fs::create_symlink(victim, dir.file(".orvendal.prom.tmp"));

    Stationctl watch({"watch", station, "--prometheus", prom, "--interval", "50"});
    for (int i = 0; i < 1000 && !fs::exists(prom); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(prom)));
    // A link put in the textfile's place while it runs: the next write, before the outage's
    // line, refuses it.
    fs::remove(prom);
    fs::create_symlink(victim, prom);
    fs::rename(station, dir.file("away"));
    const auto outage = watch.readLineWithin(10s);
    ASSERT_TRUE(outage.has_value());
    EXPECT_NE(outage->find("\"outage\""), std::string::npos) << *outage;
    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0);
    EXPECT_NE(ended.err.find("no se puede escribir el fichero de métricas: 40-es un enlace"),
              std::string::npos)
        << ended.err;
    EXPECT_EQ(readBytes(victim), (std::vector<unsigned char>{'k', 'e', 'e', 'p', '\n'}));
    EXPECT_TRUE(fs::is_symlink(prom));
    for (const auto& name : entries(dir.path())) {
        EXPECT_FALSE(name.ends_with(".tmp") && name != ".orvendal.prom.tmp") << "left: " << name;
    }
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
