// The monitor reading a station file over smb:// from a real Samba server, while SMB2 sessions of
// other processes hold their records locked as Windows workstations do.
#include "collectedlist.h"
#include "error.h"
#include "smbfile.h"
#include "smblockholder.h"
#include "smbstation.h"
#include "stationfiles.h"
#include "stationmonitor.h"
#include "text.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace orvendal::files {
// The file layer is tested through the refresh that uses it.
using namespace orvendal::station;
namespace {

using testing::SmbdRestart;
using testing::SmbLockHolder;
using testing::SmbTestServer;
using testing::TempDir;

constexpr std::uint64_t kRecord = 81;
const std::u16string kOutageCaption = u"Conexiones activas: sin acceso";

// What one refresh showed.
struct Refresh {
    std::set<int> connected; // rows listed "Verdadero"
    std::size_t rows = 0;
    std::u16string caption;
    std::vector<std::u16string> messages;
};

class Monitor {
public:
    explicit Monitor(const std::string& path) { monitor_.MLP_SetFileName(path); }
    ~Monitor() { monitor_.CloseStationFile(); }

    Refresh refresh() {
        const std::size_t seen = window_.messages().size();
        monitor_.MLP_Show();
        Refresh result;
        for (const auto& row : list_.rows()) {
            if (row[2] == StationMonitor::kTrueWord) {
                result.connected.insert(*parseRowNumber(row[0]));
            }
        }
        result.rows = list_.rows().size();
        result.caption = window_.caption();
        result.messages.assign(window_.messages().begin() + static_cast<long>(seen),
                               window_.messages().end());
        return result;
    }
    const CollectedList& list() const { return list_; }

private:
    CollectedList list_;
    CollectedWindow window_;
    StationMonitor monitor_{window_, list_};
};

// Which rows one read of each record's 81 bytes over the same SMB client finds refused.
std::set<int> refusedOneReadPerRecord(const std::string& url, int stations) {
    const SharedFile file = SharedFile::open(url);
    std::set<int> refused;
    for (int row = 1; row <= stations; ++row) {
        std::array<std::uint8_t, kRecord> bytes{};
        if (!file.tryReadAt(static_cast<std::uint64_t>(row) * kRecord, bytes)) {
            refused.insert(row);
        }
    }
    return refused;
}

SmbLockHolder::Lock exclusiveRow(int row) {
    return SmbLockHolder::exclusive(static_cast<std::uint64_t>(row) * kRecord, kRecord);
}

class SmbStationFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
        server.emplace();
        testing::writeStationFile(server->localFile("MARLOVEN.SIT"), kStations, 7);
        useCredentialsFile(testing::writeCredentials(dir, *server, server->password()));
        url = server->url("MARLOVEN.SIT");
    }

    static constexpr int kStations = 40;
    TempDir dir;
    std::optional<SmbTestServer> server;
    std::string url;
};

TEST_F(SmbStationFileTest, ListsExactlyTheRecordsWhoseReadAnotherSessionsLockRefuses) {
    // Whole records, a single byte in the middle or at the end of one, one lock over three
    // records, the last record; and shared locks, which stop writes only and so show nothing.
    const std::vector<SmbLockHolder::Lock> locks = {
        exclusiveRow(2),
        exclusiveRow(3),
        SmbLockHolder::exclusive(9 * kRecord + 40, 1),
        SmbLockHolder::exclusive(12 * kRecord, 3 * kRecord),
        SmbLockHolder::exclusive(20 * kRecord + 80, 1),
        exclusiveRow(kStations),
        SmbLockHolder::shared(6 * kRecord, kRecord),
        SmbLockHolder::shared(25 * kRecord + 10, 5),
    };
    const std::set<int> expected = {2, 3, 9, 12, 13, 14, 20, kStations};
    SmbLockHolder holder(*server, "MARLOVEN.SIT", locks);

    Monitor monitor(url);
    const Refresh refresh = monitor.refresh();
    EXPECT_TRUE(refresh.messages.empty()) << toUtf8(refresh.messages.front());
    EXPECT_EQ(refresh.caption, u"Conexiones activas: 7");
    EXPECT_EQ(refresh.rows, static_cast<std::size_t>(kStations));
    EXPECT_EQ(refresh.connected, expected);
    EXPECT_EQ(refusedOneReadPerRecord(url, kStations), expected);
    // A free record's fields are read from the server, shared lock or not.
    const auto& row6 = monitor.list().rows().at(5);
    EXPECT_EQ(row6[4].substr(0, 5), u"TERM6");
    EXPECT_EQ(row6[5].substr(0, 6), u"Caja 6");
    EXPECT_EQ(monitor.list().rows().at(1)[5].find(u"Caja"), std::u16string::npos);

    // A lock taken and one let go between two refreshes.
    ASSERT_TRUE(holder.unlock(2 * kRecord, kRecord));
    ASSERT_TRUE(holder.lock(exclusiveRow(30)));
    std::set<int> after = expected;
    after.erase(2);
    after.insert(30);
    EXPECT_EQ(monitor.refresh().connected, after);
    EXPECT_EQ(refusedOneReadPerRecord(url, kStations), after);
}

// `smbstatus -L` lines of the server's open files: "PID UID DENYMODE ACCESS R/W OPLOCK ...".
std::string openFileLine(const SmbTestServer& server, const std::string& name) {
    const auto [status, output] =
        testing::runToEnd({"/usr/bin/smbstatus", "-s", server.conf(), "-L"});
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(name) != std::string::npos) {
            return line;
        }
    }
    return "";
}

TEST_F(SmbStationFileTest, OpensReadOnlySharedWithoutAnOplockAndNeverWrites) {
    const auto before = testing::readBytes(server->localFile("MARLOVEN.SIT"));
    {
        Monitor monitor(url);
        monitor.refresh();
        // The monitor keeps the file open between refreshes, as the local one does.
        std::istringstream words(openFileLine(*server, "MARLOVEN.SIT"));
        std::string pid, uid, denyMode, access, readWrite, oplock;
        words >> pid >> uid >> denyMode >> access >> readWrite >> oplock;
        EXPECT_EQ(denyMode, "DENY_NONE");
        EXPECT_EQ(readWrite, "RDONLY");
        EXPECT_EQ(oplock, "NONE");
        // A workstation opens it for writing and locks its record while the monitor has it open.
        SmbLockHolder holder(*server, "MARLOVEN.SIT", {exclusiveRow(5)});
        EXPECT_EQ(monitor.refresh().connected, std::set<int>{5});
    }
    EXPECT_EQ(testing::readBytes(server->localFile("MARLOVEN.SIT")), before);
    EXPECT_EQ(server->byteRangeLocks().find("MARLOVEN.SIT"), std::string::npos)
        << server->byteRangeLocks();
}

TEST_F(SmbStationFileTest, AMissingFileIsCreatedEmptyAsALocalOneIs) {
    Monitor monitor(server->url("NUEVO.SIT"));
    const Refresh refresh = monitor.refresh();
    EXPECT_TRUE(refresh.messages.empty());
    EXPECT_EQ(refresh.rows, 0u);
    EXPECT_EQ(std::filesystem::file_size(server->localFile("NUEVO.SIT")), 0u);

    TempDir local;
    Monitor localMonitor(local.file("NUEVO.SIT"));
    EXPECT_EQ(localMonitor.refresh().caption, refresh.caption);
}

TEST(SmbStationFile, AMissingFileOnAReadOnlyShareIsAClearError) {
    if (const auto why = SmbTestServer::unavailable()) {
        GTEST_SKIP() << *why;
    }
    SmbTestServer server({"read only = yes"});
    TempDir dir;
    useCredentialsFile(testing::writeCredentials(dir, server, server.password()));
    Monitor monitor(server.url("NUEVO.SIT"));
    const Refresh refresh = monitor.refresh();
    ASSERT_EQ(refresh.messages.size(), 1u);
    EXPECT_NE(toUtf8(refresh.messages[0]).find("no deja crearlo"), std::string::npos)
        << toUtf8(refresh.messages[0]);
    EXPECT_FALSE(std::filesystem::exists(server.localFile("NUEVO.SIT")));
}

TEST_F(SmbStationFileTest, RefusalsAreOneClearBoxAndTheMonitorKeepsRunning) {
    struct Case {
        std::string name;
        std::string password;
        std::string url;
        std::string inMessage;
    };
    const std::string port = std::to_string(server->port());
    const Case cases[] = {
        {"wrong password", "not-" + server->password(), url,
         "13-el servidor no acepta el usuario o la contraseña"},
        {"unknown share", server->password(), "smb://127.0.0.1:" + port + "/nada/MARLOVEN.SIT",
         "2-el servidor no tiene el recurso compartido \"nada\""},
        {"missing folder", server->password(), server->url("falta/MARLOVEN.SIT"),
         "2-no existe el fichero o su carpeta"},
        {"a folder", server->password(), server->url("carpeta"), "no es un fichero normal"},
        {"no server", server->password(), "smb://127.0.0.1:1/station/MARLOVEN.SIT",
         "111-sin conexión con el servidor"},
    };
    std::filesystem::create_directory(server->path() / "carpeta");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useCredentialsFile(testing::writeCredentials(dir, *server, c.password));
        Monitor monitor(c.url);
        for (int round = 0; round < 3; ++round) {
            const Refresh refresh = monitor.refresh();
            EXPECT_EQ(refresh.caption, kOutageCaption);
            EXPECT_EQ(refresh.rows, 0u);
            ASSERT_EQ(refresh.messages.size(), round == 0 ? 1u : 0u);
            if (round == 0) {
                const std::string text = toUtf8(refresh.messages[0]);
                EXPECT_NE(text.find(c.inMessage), std::string::npos) << text;
                EXPECT_EQ(text.find(server->password()), std::string::npos) << text;
            }
        }
    }
    EXPECT_FALSE(std::filesystem::exists(server->path() / "falta"));
}

TEST_F(SmbStationFileTest, AServerStoppedAndStartedAgainIsAnOutageThenListsAgain) {
    SmbLockHolder holder(*server, "MARLOVEN.SIT", {exclusiveRow(4)});
    Monitor monitor(url);
    EXPECT_EQ(monitor.refresh().connected, std::set<int>{4});

    SmbdRestart restart(*server);
    restart.stop();
    for (int round = 0; round < 2; ++round) {
        const Refresh down = monitor.refresh();
        EXPECT_EQ(down.caption, kOutageCaption);
        ASSERT_EQ(down.messages.size(), round == 0 ? 1u : 0u);
        // The last good list stays; a lost server never lists connected stations.
        EXPECT_EQ(down.connected, std::set<int>{4});
    }

    restart.start();
    const Refresh up = monitor.refresh();
    EXPECT_TRUE(up.messages.empty()) << toUtf8(up.messages.front());
    EXPECT_EQ(up.caption, u"Conexiones activas: 7");
    // The workstation's session ended with the old server, and its lock with it.
    EXPECT_TRUE(up.connected.empty());
    SmbLockHolder again(*server, "MARLOVEN.SIT", {exclusiveRow(8)});
    EXPECT_EQ(monitor.refresh().connected, std::set<int>{8});
}

TEST_F(SmbStationFileTest, APasswordIsAskedOnceAtTheFirstOpenThatNeedsOne) {
    enum class Answer { Right, Declined, Wrong };
    struct Case {
        std::string name;
        Answer answer;
    };
    // Each case logs in as a user of its own server, which no earlier connection has
    // authenticated.
    const Case cases[] = {
        {"answered", Answer::Right},
        {"declined", Answer::Declined},
        {"wrong", Answer::Wrong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmbTestServer own;
        testing::writeStationFile(own.localFile("MARLOVEN.SIT"), 3, 2);
        std::vector<std::pair<std::string, std::string>> asked;
        setPasswordPrompt([&](const std::string& location,
                              const std::string& user) -> std::optional<std::string> {
            asked.emplace_back(location, user);
            switch (c.answer) {
            case Answer::Right:
                return own.password();
            case Answer::Wrong:
                return "not-" + own.password();
            case Answer::Declined:
                break;
            }
            return std::nullopt;
        });
        const bool lists = c.answer == Answer::Right;
        const std::string userUrl = "smb://" + own.user() +
                                    "@127.0.0.1:" + std::to_string(own.port()) +
                                    "/station/MARLOVEN.SIT";
        Monitor monitor(userUrl);
        const Refresh first = monitor.refresh();
        const Refresh second = monitor.refresh();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].first, userUrl);
        EXPECT_EQ(asked[0].second, own.user());
        EXPECT_EQ(first.caption, lists ? u"Conexiones activas: 2" : kOutageCaption);
        EXPECT_EQ(first.messages.size(), lists ? 0u : 1u);
        EXPECT_EQ(second.caption, first.caption);
        EXPECT_TRUE(second.messages.empty());
        setPasswordPrompt({});
    }
}

TEST_F(SmbStationFileTest, StatusOfAnSmbFileCreatesNothing) {
    EXPECT_NO_THROW(requireSmbRegularFile(url));
    EXPECT_THROW(requireSmbRegularFile(server->url("NUEVO.SIT")), Error);
    EXPECT_FALSE(std::filesystem::exists(server->localFile("NUEVO.SIT")));
}

} // namespace
} // namespace orvendal::files
