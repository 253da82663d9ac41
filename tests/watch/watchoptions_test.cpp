// What a watcher refuses to write before it writes anything: the station file, one output over
// another, a link or special file at an output's place.
#include "drivenwatch.h"
#include "stationfiles.h"
#include "tempdir.h"
#include "usageerror.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sys/stat.h>

using namespace orvendal;
using namespace orvendal::testing;
namespace fs = std::filesystem;

namespace {

std::set<std::string> entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// What constructing a watcher on `options` threw: its kind and text.
std::pair<std::string, std::string> refusal(const watch::Options& options) {
    DrivenClock clock;
    Recorded seen;
    try {
        watch::Watcher watcher(options, seen.sinks(), clock, clock);
    } catch (const UsageError& e) {
        return {"usage", e.what()};
    } catch (const Error& e) {
        return {"error", e.text('-')};
    }
    return {"none", ""};
}

TEST(WatchOptions, AnOutputThatIsTheStationFileOrAnotherOutputIsRefused) {
    struct Case {
        const char* station;
        const char* journal;
        const char* textfile;
        const char* says;
    };
    // Paths in the folder, some reaching it another way.
    const std::vector<Case> cases = {
        {"MARLOVEN.SIT", nullptr, "MARLOVEN.SIT", "nunca escribe"},
        {"MARLOVEN.SIT", nullptr, "./MARLOVEN.SIT", "nunca escribe"},
        {"MARLOVEN.SIT", "MARLOVEN.SIT", nullptr, "nunca escribe"},
        {"MARLOVEN.SIT", "hard.SIT", nullptr, "nunca escribe"}, // a hard link to it
        {"w.db-wal", "w.db", nullptr, "nunca escribe"},
        {"MARLOVEN.SIT", "j.db", "j.db-shm", "cada salida"},
        {"MARLOVEN.SIT", "j.db", "../work/j.db.lock", "cada salida"},
        {"MARLOVEN.SIT", "j.db", "./j.db", "cada salida"},
        // node_exporter reads only *.prom, with that case.
        {"MARLOVEN.SIT", nullptr, "orvendal.txt", "solo leen los ficheros *.prom"},
        {"MARLOVEN.SIT", nullptr, "orvendal.PROM", "solo leen los ficheros *.prom"},
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

        watch::Options options = watchOptions(station);
        if (c.journal) {
            options.journal = work + "/" + c.journal;
        }
        if (c.textfile) {
            options.textfile = work + "/" + c.textfile;
        }
        const auto [kind, text] = refusal(options);
        const std::string output = c.textfile ? c.textfile : c.journal;
        EXPECT_EQ(kind, "usage") << output << ": " << text;
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_EQ(readBytes(station), bytes) << output;
        EXPECT_EQ(entries(work), before) << output << ": nothing may be created";
    }
}

TEST(WatchOptions, ALinkOrSpecialFileAtAnOutputIsRefusedAndItsTargetKept) {
    TempDir dir;
    const std::string station = dir.file("MARLOVEN.SIT");
    writeStationFile(station, 2, 0);
    const std::string victim = dir.file("victim");
    const std::vector<unsigned char> kept = {'k', 'e', 'e', 'p', '\n'};
    writeBytes(victim, kept);
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
    watch::Options options = watchOptions(station);
    options.journal = dir.file("journal.db");
    options.textfile = dir.file("orvendal.prom");
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
        const auto [kind, text] = refusal(options);
        EXPECT_EQ(kind, "error") << c.planted << ' ' << c.kind << ": " << text;
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_EQ(readBytes(victim), kept);
        EXPECT_FALSE(fs::exists(dir.file("made-by-nobody"))) << c.planted;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("journal.db") || name.starts_with("orvendal.prom")) {
                fs::remove(entry.path());
            }
        }
    }
}

} // namespace
