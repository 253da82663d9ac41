// stationctl as orvendal-watch.service runs it: under the unit's own RestrictAddressFamilies=
// (read from the shipped unit, applied by a seccomp launcher, since no systemd runs the tests),
// reading a station file from a real Samba server.
#include "smblockholder.h"
#include "smbstation.h"
#include "stationctlrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace orvendal::testing;
using nlohmann::json;

namespace {

constexpr std::uint64_t kRecord = 81;

// The families of the unit's RestrictAddressFamilies= line, an allow list.
std::vector<std::string> unitAddressFamilies() {
    std::ifstream unit(ORVENDAL_WATCH_UNIT);
    std::vector<std::string> families;
    for (std::string line; std::getline(unit, line);) {
        if (line.starts_with("RestrictAddressFamilies=")) {
            std::istringstream words(line.substr(line.find('=') + 1));
            for (std::string word; words >> word;) {
                families.push_back(word);
            }
        }
    }
    return families;
}

// `stationctl args...` with socket() limited to `families`.
std::vector<std::string> filtered(const std::vector<std::string>& families,
                                  const std::vector<std::string>& args) {
    std::vector<std::string> argv = families;
    argv.push_back("--");
    argv.push_back(STATIONCTL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

class WatchServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
        families = unitAddressFamilies();
        ASSERT_FALSE(families.empty()) << "no RestrictAddressFamilies= in " << ORVENDAL_WATCH_UNIT;
        ASSERT_NE(families.front()[0], '~') << "the unit's families are no longer an allow list";
        server.emplace();
        createStationFile(server->localFile("MARLOVEN.SIT"), 4);
        credentials = writeCredentials(dir, *server, server->password());
    }

    TempDir dir;
    std::optional<SmbTestServer> server;
    std::vector<std::string> families;
    std::string credentials;
};

TEST_F(WatchServiceTest, WatchesAnSmbFileUnderTheUnitsAddressFamilies) {
    SmbLockHolder holder(*server, "MARLOVEN.SIT", {SmbLockHolder::exclusive(2 * kRecord, kRecord)});
    Stationctl watch(filtered(families, {"watch", server->url("MARLOVEN.SIT"), "--credentials",
                                         credentials, "--interval", "100"}),
                     {}, ORVENDAL_FAMILY_FILTER);
    const auto line = watch.readLineWithin(std::chrono::seconds(30));
    ASSERT_TRUE(line) << "no event from the watcher";
    const json event = json::parse(*line);
    EXPECT_EQ(event["event"], "connected") << *line;
    EXPECT_EQ(event["rec"], 2) << *line;
    EXPECT_TRUE(watch.running());
}

// Where libsmbclient cannot list the network interfaces it would end the program with its own
// exit(1); the programs report it as theirs instead, and the watcher goes on.
TEST_F(WatchServiceTest, WithoutNetlinkTheCommandsReportTheirOwnError) {
    std::vector<std::string> withoutNetlink = families;
    std::erase(withoutNetlink, "AF_NETLINK");
    const std::string url = server->url("MARLOVEN.SIT");
    struct Case {
        std::string name;
        std::vector<std::string> args;
        int status;
        std::string prefix;
    };
    const Case cases[] = {
        {"check", {"check", "--credentials", credentials, url}, 3, "ORVENDAL UNKNOWN - 97-"},
        {"status", {"status", "--credentials", credentials, url}, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stationctl run(filtered(withoutNetlink, c.args), {}, ORVENDAL_FAMILY_FILTER);
        const Outcome outcome = run.finish();
        const std::string said = outcome.out + outcome.err;
        EXPECT_EQ(outcome.status, c.status) << said;
        EXPECT_TRUE(outcome.out.starts_with(c.prefix)) << said;
        EXPECT_NE(said.find("no se pueden consultar las interfaces de red"), std::string::npos)
            << said;
        EXPECT_EQ(said.find("Could not determine network interfaces"), std::string::npos) << said;
    }

    Stationctl watch(filtered(withoutNetlink, {"watch", url, "--credentials", credentials}), {},
                     ORVENDAL_FAMILY_FILTER);
    const auto line = watch.readLineWithin(std::chrono::seconds(30));
    ASSERT_TRUE(line) << "no event from the watcher";
    const json event = json::parse(*line);
    EXPECT_EQ(event["event"], "outage") << *line;
    EXPECT_TRUE(event["error"].get<std::string>().starts_with("97-")) << *line;
    EXPECT_TRUE(watch.running());
}

// The owner of /proc/PID/status: the process's own user while it may dump core, root once it
// may not (the folder /proc/PID keeps its user).
uid_t procOwner(pid_t pid) {
    struct stat st {};
    return ::stat(("/proc/" + std::to_string(pid) + "/status").c_str(), &st) == 0 ? st.st_uid : ~0U;
}

TEST_F(WatchServiceTest, AWatcherThatReadAPasswordCannotDumpIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the watcher as another user";
    }
    const uid_t nobody = 65534;
    SmbLockHolder holder(*server, "MARLOVEN.SIT", {SmbLockHolder::exclusive(kRecord, kRecord)});
    // A credentials file of nobody's, in a folder nobody may pass through.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(credentials.c_str(), nobody, nobody), 0);
    struct Case {
        std::string name;
        std::vector<std::string> options;
        uid_t owner;
    };
    const Case cases[] = {
        {"no password", {}, nobody},
        {"credentials file", {"--credentials", credentials}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--reuid=65534",  "--regid=65534",
                                      "--clear-groups", STATIONCTL_PATH,
                                      "watch",          server->url("MARLOVEN.SIT")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Stationctl watch(args, {}, "/usr/bin/setpriv");
        // Its first event (the locked record, or the refused log-on) comes after its first
        // refresh, long after it read the file.
        const auto line = watch.readLineWithin(std::chrono::seconds(30));
        ASSERT_TRUE(line) << "no event from the watcher";
        EXPECT_EQ(procOwner(watch.pid()), c.owner) << *line;
    }
}

} // namespace
