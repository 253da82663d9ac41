#include "lockholder.h"
#include "sleepingthread.h"
#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

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
        // The long forms, alone and with the other's short one.
        {{"--warning", "4"}, 1},
        {{"--warning=5", "--critical", "4"}, 2},
        {{"-w", "4", "--critical=@0:4"}, 1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"check", path};
        args.insert(args.end(), c.ranges.begin(), c.ranges.end());
        const Outcome run = stationctl(args);
        EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.ranges) << run.out;
        static const char* words[] = {"OK", "WARNING", "CRITICAL"};
        EXPECT_EQ(run.out.rfind(std::string("ORVENDAL ") + words[c.status] +
                                    " - 5 de 12 puestos conectados | connected=5;",
                                0),
                  0u)
            << run.out;
    }
    const Outcome example = stationctl({"check", path, "-w", "8", "-c", "10"});
    EXPECT_EQ(example.out, "ORVENDAL OK - 5 de 12 puestos conectados | connected=5;8;10;0;12\n");
    EXPECT_EQ(stationctl({"check", path, "--warning", "8", "--critical", "10"}).out, example.out);
    // One threshold given twice, in its two forms, is a mistake rather than a choice.
    for (const auto& both : {std::vector<std::string>{"-w", "1", "--warning", "2"},
                             std::vector<std::string>{"--critical=1", "-c", "1"}}) {
        std::vector<std::string> args{"check", path};
        args.insert(args.end(), both.begin(), both.end());
        const Outcome run = stationctl(args);
        EXPECT_EQ(run.status, 3) << run.out;
        EXPECT_NE(run.out.find("son la misma opción"), std::string::npos) << run.out;
    }
}

TEST(CheckCommand, UnknownWhenItCannotTell) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto readable = dir.file("readable.sit");
    writeStationFile(path, 2, 0);
    writeStationFile(readable, 2, 0);
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
        // No number of stations compares with these as meant.
        {"check", readable, "-w", "nan"},
        {"check", readable, "-c", "@nan"},
        {"check", readable, "-w", "inf"},
        {"check", readable, "-c", "~:infinity"},
        {"check", readable, "-w", "1:nan"},
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
            EXPECT_EQ(result.out.rfind("ORVENDAL OK - 1 de 3 puestos conectados", 0), 0u)
                << result.out;
            return;
        }
    }
    FAIL() << "the header's holder never ended within check's pause";
}

// The window lists 10000 rows at most; a plugin, status and the watcher count every station,
// or answer that they cannot.
TEST(CheckCommand, EveryStationCountsPastTheWindowsRows) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 10005, 0);
    {
        Stationctl holder({"connect", path, "10004", "10005"});
        ASSERT_EQ(holder.readLine(), "connected 10004 10005");

        EXPECT_EQ(stationctl({"check", path}).out,
                  "ORVENDAL OK - 2 de 10005 puestos conectados | connected=2;;;0;10005\n");

        const auto status = statusJson(path);
        EXPECT_EQ(status["total"], 10005);
        ASSERT_EQ(status["rows"].size(), 10005u);
        EXPECT_EQ(status["rows"][10003]["connected"], true);
        EXPECT_EQ(status["rows"][10004]["rec"], 10005);
        EXPECT_EQ(status["rows"][10004]["connected"], true);

        const auto textfile = dir.file("orvendal.prom");
        Stationctl watch({"watch", path, "--prometheus", textfile});
        for (const int rec : {10004, 10005}) {
            const auto line = watch.readLineWithin(std::chrono::seconds(20));
            ASSERT_TRUE(line) << "no event for row " << rec;
            const auto event = nlohmann::json::parse(*line);
            EXPECT_EQ(event["event"], "connected");
            EXPECT_EQ(event["rec"], rec);
        }
        // Written before the lines that told the events.
        std::ifstream in(textfile);
        const std::string metrics((std::istreambuf_iterator<char>(in)), {});
        const std::string file = "{file=\"" + path + "\"} ";
        EXPECT_NE(metrics.find("\norvendal_stations" + file + "10005\n"), std::string::npos);
        EXPECT_NE(metrics.find("\norvendal_stations_connected" + file + "2\n"), std::string::npos);
        watch.signal(SIGINT);
        EXPECT_EQ(watch.finish().status, 0);
    }

    // One station more than they read: an answer for some of them would be a false one.
    std::filesystem::resize_file(path, 81 * (1'000'001 + 1));
    const Outcome check = stationctl({"check", path});
    EXPECT_EQ(check.status, 3);
    EXPECT_NE(check.out.find("1000001 registros de estación"), std::string::npos) << check.out;
    const Outcome status = stationctl({"status", path, "--json"});
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.out, "");
    EXPECT_NE(status.err.find("1000001 registros de estación"), std::string::npos) << status.err;
}

} // namespace
