// stationctl status on a station file served by a real Samba server, read over smb://.
#include "smblockholder.h"
#include "smbstation.h"
#include "stationctlrun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

using namespace orvendal::testing;
using nlohmann::json;

namespace {

constexpr std::uint64_t kRecord = 81;

class StatusOverSmbTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
        server.emplace();
        createStationFile(server->localFile("MARLOVEN.SIT"), 6);
        credentials = writeCredentials(dir, *server, server->password());
    }

    TempDir dir;
    std::optional<SmbTestServer> server;
    std::string credentials;
};

TEST_F(StatusOverSmbTest, JsonListsTheRecordsOtherSessionsLockExclusively) {
    SmbLockHolder holder(*server, "MARLOVEN.SIT",
                         {SmbLockHolder::exclusive(2 * kRecord, kRecord),
                          SmbLockHolder::exclusive(5 * kRecord + 3, 1),
                          SmbLockHolder::shared(4 * kRecord, kRecord)});
    const Outcome run =
        stationctl({"status", "--credentials", credentials, "--json", server->url("MARLOVEN.SIT")});
    ASSERT_EQ(run.status, 0) << run.err;
    const json status = json::parse(run.out);
    std::set<int> connected;
    for (const auto& row : status["rows"]) {
        if (row["connected"]) {
            connected.insert(row["rec"].get<int>());
        }
    }
    EXPECT_EQ(status["rows"].size(), 6u);
    EXPECT_EQ(connected, (std::set<int>{2, 5}));
}

TEST_F(StatusOverSmbTest, RefusesClearlyAndCreatesNothing) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        int status;
        std::string inError;
    };
    TempDir other;
    const std::string wrong = writeCredentials(other, *server, "not-" + server->password());
    const std::string open = dir.file("open");
    std::filesystem::copy_file(credentials, open);
    std::filesystem::permissions(open, std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    const Case cases[] = {
        {"missing file",
         {"status", "--credentials", credentials, server->url("NUEVO.SIT")},
         1,
         "no existe el fichero"},
        {"wrong password",
         {"status", "--credentials", wrong, server->url("MARLOVEN.SIT")},
         1,
         "no acepta el usuario o la contraseña"},
        {"readable credentials",
         {"status", "--credentials", open, server->url("MARLOVEN.SIT")},
         1,
         "chmod 600"},
        {"password in the URL",
         {"status", "smb://" + server->user() + ":" + server->password() +
                        "@127.0.0.1:" + std::to_string(server->port()) + "/station/MARLOVEN.SIT"},
         2,
         "no puede llevar la contraseña"},
        {"no credentials value", {"status", server->url("MARLOVEN.SIT"), "--credentials"}, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome run = stationctl(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.inError), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(server->password()), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(server->localFile("NUEVO.SIT")));
}

} // namespace
