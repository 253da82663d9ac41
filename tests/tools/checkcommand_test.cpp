#include "lockholder.h"
#include "sleepingthread.h"
#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

using namespace orvendal::testing;

namespace {

TEST(CheckCommand, ThresholdsAtTheirEdges) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 12, 0);
    Stationctl holder({"connect", path, "1", "2", "3", "4", "5"});
    ASSERT_EQ(holder.readLine(), "connected 1 2 3 4 5");

    struct Case {
        std::vector<std::string> ranges;
        int status;
    };
    // 5 of 12 connected.
    const std::vector<Case> cases = {
        {{}, 0},
        {{"-w", "5"}, 0},    // 0..5 holds 5
        {{"-w", "4"}, 1},    // above 4
        {{"-w", "5:"}, 0},   // not below 5
        {{"-w", "6:"}, 1},   // below 6
        {{"-w", "~:5"}, 0},  // not above 5
        {{"-w", "~:4"}, 1},  // above 4
        {{"-w", "5:6"}, 0},  // inside
        {{"-w", "6:9"}, 1},  // outside
        {{"-w", "@5:6"}, 1}, // inside, ends included
        {{"-w", "@6:9"}, 0}, // outside
        {{"-w", "4", "-c", "5"}, 1},
        {{"-w", "4", "-c", "4"}, 2},
        {{"-c", "@0:5"}, 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"check", path};
        args.insert(args.end(), c.ranges.begin(), c.ranges.end());
        const Outcome run = stationctl(args);
        EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.ranges) << run.out;
        static const char* words[] = {"OK", "WARNING", "CRITICAL"};
        EXPECT_EQ(run.out.rfind(std::string("ORVENDAL ") + words[c.status] +
                                    " - 5 de 12 estaciones conectadas | connected=5;",
                                0),
                  0u)
            << run.out;
    }
    const Outcome example = stationctl({"check", path, "-w", "8", "-c", "10"});
    EXPECT_EQ(example.out, "ORVENDAL OK - 5 de 12 estaciones conectadas | connected=5;8;10;0;12\n");
}

TEST(CheckCommand, UnknownWhenItCannotTell) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 2, 0);
    Stationctl header({"connect", path, "0"});
    ASSERT_EQ(header.readLine(), "connected 0");
    // Shorter than a header: nothing tells how many stations there are.
    const auto empty = dir.file("empty.sit");
    const auto cut = dir.file("cut.sit");
    writeBytes(empty, {});
    writeBytes(cut, std::vector<unsigned char>(40, ' '));
    const std::vector<std::vector<std::string>> cases = {
        {"check", dir.path().string()},     // a folder
        {"check", dir.file("missing.sit")}, // created by nobody
        {"check", path},                    // its header locked: an outage
        {"check", empty},
        {"check", cut},
        {"check", dir.file("missing.sit"), "-w", "ten"},
        {"check", path, "-w", "5:1"},
        {"check", path, "--nonsense"},
        {"check"},
    };
    for (const auto& args : cases) {
        const Outcome run = stationctl(args);
        EXPECT_EQ(run.status, 3) << testing::PrintToString(args) << run.out << run.err;
        EXPECT_EQ(run.out.rfind("ORVENDAL UNKNOWN - ", 0), 0u) << run.out;
        EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line: " << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.sit")));
    for (const auto& file : {empty, cut}) {
        EXPECT_NE(stationctl({"check", file}).out.find(": 1009-"), std::string::npos) << file;
    }
}

TEST(CheckCommand, AHeaderLockedForAMomentIsReadAgain) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 3, 0);
    Stationctl station({"connect", path, "2"});
    ASSERT_EQ(station.readLine(), "connected 2");
    // The lock goes while check pauses after finding it: check's only sleep. A pause that ends
    // before the holder has gone proves nothing, so that run is repeated.
    for (int run = 0; run < 5; ++run) {
        LockHolder header(path, {{0, 81}});
        Stationctl check({"check", path});
        ASSERT_TRUE(waitUntilSleeping(check.pid(), std::chrono::seconds(10)))
            << "check never paused over the locked header";
        header.stop();
        const bool releasedInPause = threadSleeping(check.pid());
        const Outcome result = check.finish();
        if (releasedInPause) {
            EXPECT_EQ(result.status, 0) << result.out;
            EXPECT_EQ(result.out.rfind("ORVENDAL OK - 1 de 3 estaciones conectadas", 0), 0u)
                << result.out;
            return;
        }
    }
    FAIL() << "the header's holder never ended within check's pause";
}

} // namespace
