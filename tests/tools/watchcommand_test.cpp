#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"
#include "timetext.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace orvendal;
using namespace orvendal::testing;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// "2026-12-09T08:01:02.345+01:00": local time, milliseconds, the UTC offset.
bool isoWithOffset(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                        : shape[i] == '+' ? text[i] == '+' || text[i] == '-'
                                          : text[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

json history(const std::vector<std::string>& args) {
    return historyJson(args)["sessions"];
}

std::vector<int> recs(const json& sessions) {
    std::vector<int> found;
    for (const auto& s : sessions) {
        found.push_back(s["rec"]);
    }
    std::sort(found.begin(), found.end());
    return found;
}

TEST(WatchCommand, EventsAndTheJournalFollowRealLocks) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 3, 0);
    Holding before(path, {"2"});

    Stationctl watch({"watch", path, "--journal", db, "--interval", "100"});
    const json atStart = nextEvent(watch);
    EXPECT_EQ(atStart["event"], "connected");
    EXPECT_EQ(atStart["rec"], 2);
    EXPECT_EQ(atStart["at_start"], true);
    // Locked since before the watcher came: never seen unlocked, so nothing is known of it.
    EXPECT_TRUE(atStart["name"].is_null() && atStart["station"].is_null()) << atStart;
    EXPECT_TRUE(isoWithOffset(atStart["time"])) << atStart["time"];

    const Outcome second = stationctl({"watch", path, "--journal", db});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("in use by another watcher"), std::string::npos) << second.err;

    Holding row1(path, {"1"});
    const json connected = nextEvent(watch);
    EXPECT_EQ(connected["event"], "connected");
    EXPECT_EQ(connected["rec"], 1);
    EXPECT_EQ(connected["at_start"], false);
    EXPECT_EQ(connected["name"], "Caja 1") << "trimmed of its padding";
    EXPECT_EQ(connected["connection"], "TERM1");
    EXPECT_EQ(connected["station"], 101);
    std::this_thread::sleep_for(400ms);
    row1.release();
    const json disconnected = nextEvent(watch);
    EXPECT_EQ(disconnected["event"], "disconnected");
    EXPECT_EQ(disconnected["rec"], 1);
    EXPECT_EQ(disconnected["name"], "Caja 1");
    EXPECT_GE(disconnected["seconds"].get<double>(), 0.3);
    std::this_thread::sleep_for(300ms);

    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;

    const json all = history({db});
    ASSERT_EQ(all.size(), 2u) << all;
    for (const auto& s : all) {
        if (s["rec"] == 2) {
            EXPECT_TRUE(s["start"].is_null());
            EXPECT_EQ(s["at_start"], true);
            EXPECT_EQ(s["ended"], "stopped");
            EXPECT_TRUE(s["seconds"].is_null());
        } else {
            EXPECT_EQ(s["start"], connected["time"]);
            EXPECT_EQ(s["end"], disconnected["time"]);
            EXPECT_EQ(s["ended"], "disconnected");
            EXPECT_EQ(s["name"], "Caja 1");
            EXPECT_DOUBLE_EQ(s["seconds"].get<double>(), disconnected["seconds"].get<double>());
        }
    }
    // Inside row 1's session, after it, and before the watcher began.
    const auto at = [&](const json& event, int shiftMs) {
        return journal::isoLocalTime(journal::parseTime(event["time"].get<std::string>()) +
                                     std::chrono::milliseconds(shiftMs));
    };
    EXPECT_EQ(recs(history({db, "--at", at(connected, 1)})), (std::vector<int>{1, 2}));
    EXPECT_EQ(recs(history({db, "--at", at(disconnected, 1)})), (std::vector<int>{2}));
    EXPECT_EQ(recs(history({db, "--at", "2000-01-01 00:00"})), (std::vector<int>{}));
    EXPECT_EQ(recs(history({db, "--since", "2000-01-01", "--until", "2000-01-02"})),
              (std::vector<int>{}));
    EXPECT_EQ(recs(history({db, "--station", "101"})), (std::vector<int>{1}));

    const Outcome csv = stationctl({"history", db, "--csv"});
    EXPECT_EQ(csv.out.substr(0, csv.out.find('\n') + 1),
              "rec,station,connection,name,start,at_start,end,ended,seconds,seen,started_between,"
              "ended_between,error,kind\r\n");
}

TEST(WatchCommand, AKilledWatcherLosesNoTransition) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 4, 0);
    // Row 4 held from the start: its event tells that the watcher is watching.
    Holding row4(path, {"4"});
    auto watch = std::make_unique<Stationctl>(
        std::vector<std::string>{"watch", path, "--journal", db, "--interval", "20"});
    std::vector<json> printed;
    const auto drain = [&](std::size_t count) {
        while (printed.size() < count) {
            printed.push_back(nextEvent(*watch));
        }
    };
    drain(1);
    // Churn: short sessions one after the other, then two left open.
    for (int round = 0; round < 6; ++round) {
        Holding h(path, {std::to_string(1 + round % 3)});
        drain(printed.size() + 1);
        h.release();
        drain(printed.size() + 1);
    }
    Holding open(path, {"1", "3"});
    drain(printed.size() + 2);
    std::this_thread::sleep_for(200ms);
    const std::string killedAt = journal::isoLocalTime(std::chrono::system_clock::now());
    watch->signal(SIGKILL);
    watch->finish();
    watch.reset();
    std::this_thread::sleep_for(1500ms);

    // The next start closes what the killed one left open, then sees rows 1, 3 and 4 again.
    Stationctl next({"watch", path, "--journal", db, "--interval", "20"});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(nextEvent(next)["at_start"], true);
    }
    next.signal(SIGTERM);
    EXPECT_EQ(next.finish().status, 0);

    const json sessions = history({db});
    ASSERT_EQ(sessions.size(), 1u + 6u + 2u + 3u) << sessions;
    for (const auto& event : printed) {
        const bool isStart = event["event"] == "connected";
        const auto found = std::find_if(sessions.begin(), sessions.end(), [&](const json& s) {
            if (event.value("at_start", false)) {
                return s["rec"] == event["rec"] && s["at_start"] == true && s["ended"] == "unknown";
            }
            return s["rec"] == event["rec"] && s[isStart ? "start" : "end"] == event["time"];
        });
        ASSERT_NE(found, sessions.end()) << "printed but not committed: " << event;
        if (!isStart) {
            EXPECT_EQ((*found)["ended"], "disconnected");
        }
    }
    const std::string lastPrinted = printed.back()["time"];
    int unknown = 0;
    for (const auto& s : sessions) {
        if (s["ended"] != "unknown") {
            continue;
        }
        ++unknown;
        const std::string end = s["end"];
        // At the killed watcher's last heartbeat: after what it printed, before the kill.
        EXPECT_GE(end, lastPrinted) << s;
        EXPECT_LE(end, killedAt) << s;
        if (!s["start"].is_null()) {
            EXPECT_GE(end, s["start"].get<std::string>()) << s;
        }
        EXPECT_TRUE(s["seconds"].is_null()) << s;
    }
    EXPECT_EQ(unknown, 3);
}

TEST(WatchCommand, AnOutageIsNeverReadAsDisconnections) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto away = dir.file("elsewhere");
    writeStationFile(path, 2, 0);
    Holding row1(path, {"1"});
    Stationctl watch({"watch", path, "--interval", "50", "--on-change", "exit 3"});
    EXPECT_EQ(nextEvent(watch)["event"], "connected");

    struct Cause {
        const char* what;
        std::function<std::function<void()>()> make; // starts the outage, returns its end
        const char* number;
    };
    const std::vector<Cause> causes = {
        {"file removed",
         [&] {
             std::filesystem::rename(path, away);
             return std::function<void()>([&] { std::filesystem::rename(away, path); });
         },
         "2-"},
        {"header locked",
         [&] {
             auto header = std::make_shared<Holding>(path, std::vector<std::string>{"0"});
             return std::function<void()>([header] { header->release(); });
         },
         "1001-"},
    };
    for (const auto& cause : causes) {
        const auto end = cause.make();
        const json outage = nextEvent(watch);
        EXPECT_EQ(outage["event"], "outage") << cause.what << outage;
        EXPECT_EQ(outage["error"].get<std::string>().rfind(cause.number, 0), 0u) << outage;
        std::this_thread::sleep_for(300ms);
        end();
        EXPECT_EQ(nextEvent(watch)["event"], "recovered") << cause.what;
    }
    row1.release();
    const json disconnected = nextEvent(watch);
    EXPECT_EQ(disconnected["event"], "disconnected") << "the first disconnection of the run";
    EXPECT_EQ(disconnected["rec"], 1);
    EXPECT_TRUE(disconnected["seconds"].is_null()) << "its session began before the watcher";
    watch.signal(SIGINT);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0);
    EXPECT_NE(ended.err.find("hook for the outage event exited with status 3"), std::string::npos)
        << ended.err;
}

TEST(WatchCommand, HooksNeverDelayTheEventsNorSeeTheWatchersSecrets) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    constexpr int kStations = 80; // more than 4 running and 64 waiting
    writeStationFile(path, kStations, 0);
    const auto credentials = dir.file("credentials");
    {
        std::ofstream file(credentials);
        file << "username=ana\npassword=secret\n";
    }
    std::filesystem::permissions(credentials, std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::owner_write);
    ::setenv("KRB5CCNAME", "FILE:/tmp/krb5cc_secret", 1);
    ::setenv("PASSWD", "secret", 1);
    ::setenv("CREDENTIALS", credentials.c_str(), 1);
    const std::string hook = "env > \"" + dir.file("") +
                             "$ORVENDAL_REC.env\"; "
                             "for f in /proc/$$/fd/*; do readlink \"$f\"; done > \"" +
                             dir.file("") +
                             "$ORVENDAL_REC.fd\"; "
                             "exec >/dev/null 2>&1; echo $$ > \"" +
                             dir.file("") + "$ORVENDAL_REC.pid\"; exec sleep 10";
    Stationctl watch({"watch", path, "--journal", db, "--credentials", credentials, "--interval",
                      "50", "--on-change", hook});
    ::unsetenv("KRB5CCNAME");
    ::unsetenv("PASSWD");
    ::unsetenv("CREDENTIALS");
    std::this_thread::sleep_for(300ms);

    std::vector<std::string> rows;
    for (int row = 1; row <= kStations; ++row) {
        rows.push_back(std::to_string(row));
    }
    const auto started = std::chrono::steady_clock::now();
    Holding all(path, rows);
    for (int i = 0; i < kStations; ++i) {
        EXPECT_EQ(nextEvent(watch)["event"], "connected");
    }
    // Each hook sleeps 10 s: an event that waited for one would come 10 s late, the last ones
    // minutes late.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 9s);
    std::this_thread::sleep_for(300ms);
    std::ifstream env(dir.file("1.env"));
    const std::string variables{std::istreambuf_iterator<char>(env), {}};
    EXPECT_NE(variables.find("ORVENDAL_EVENT=connected\n"), std::string::npos) << variables;
    EXPECT_NE(variables.find("ORVENDAL_NAME=Caja 1\n"), std::string::npos) << variables;
    EXPECT_NE(variables.find("ORVENDAL_CONNECTION=TERM1\n"), std::string::npos);
    EXPECT_NE(variables.find("ORVENDAL_STATION=101\n"), std::string::npos);
    EXPECT_NE(variables.find("ORVENDAL_TIME=20"), std::string::npos);
    EXPECT_EQ(variables.find("KRB5CCNAME"), std::string::npos) << variables;
    EXPECT_EQ(variables.find("PASSWD"), std::string::npos) << variables;
    EXPECT_EQ(variables.find("CREDENTIALS"), std::string::npos) << variables;
    std::ifstream fds(dir.file("1.fd"));
    const std::string open{std::istreambuf_iterator<char>(fds), {}};
    EXPECT_EQ(open.find("journal.db"), std::string::npos) << open;
    EXPECT_EQ(open.find("MARLOVEN.SIT"), std::string::npos) << open;
    EXPECT_EQ(open.find("credentials"), std::string::npos) << open;

    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0);
    EXPECT_NE(ended.err.find("hook dropped for the connected event"), std::string::npos)
        << ended.err;
    // The hooks still asleep outlive the watcher, as they would anywhere: the test ends them.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() == ".pid") {
            std::ifstream pid(entry.path());
            int number = 0;
            if (pid >> number && number > 0) {
                ::kill(number, SIGTERM);
            }
        }
    }
}

} // namespace
