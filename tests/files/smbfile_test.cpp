// The monitor reading a station file over smb:// from a real Samba server, while SMB2 sessions of
// other processes hold their records locked as Windows workstations do.
#include "collectedlist.h"
#include "error.h"
#include "smbfaults.h"
#include "smbfile.h"
#include "smblockholder.h"
#include "smbreadgate.h"
#include "smbstation.h"
#include "stationfiles.h"
#include "stationmonitor.h"
#include "stationtexts.h"
#include "text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <poll.h>
#include <set>
#include <sstream>
#include <thread>

namespace orvendal::files {
// The file layer is tested through the refresh that uses it.
using namespace orvendal::station;
using namespace orvendal::ui;
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
            if (row[2] == kTrueWord) {
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
        {"unknown server name", server->password(), "smb://nadie.invalid/station/MARLOVEN.SIT",
         "no se encuentra el servidor \"nadie.invalid\""},
        {"domain and no user", server->password(),
         "smb://OFICINA;127.0.0.1:" + port + "/station/MARLOVEN.SIT", "falta el usuario"},
        {"IPv6 address", server->password(), "smb://[::1]:" + port + "/station/MARLOVEN.SIT",
         "libsmbclient no admite direcciones IPv6"},
        {"held without sharing", server->password(), url,
         "16-otro equipo tiene el fichero abierto sin compartirlo"},
    };
    std::filesystem::create_directory(server->path() / "carpeta");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useCredentialsFile(testing::writeCredentials(dir, *server, c.password));
        // A program that opens the file sharing nothing keeps every other open out.
        std::optional<SmbLockHolder> exclusive;
        if (c.name == "held without sharing") {
            exclusive.emplace(*server, "MARLOVEN.SIT", std::vector<SmbLockHolder::Lock>{},
                              SmbLockHolder::Sharing::Nothing);
        }
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

// The prompt is offered once for each refusal, and a password the server refused is never sent
// again: the same wrong answer typed twice costs one failed log-on.
TEST_F(SmbStationFileTest, APasswordIsAskedOncePerRefusalAndARefusedOneIsNotSentAgain) {
    enum class Answer { Right, Declined, Wrong };
    struct Case {
        std::string name;
        Answer answer;
        std::size_t asked;
        int failedLogOns;
    };
    // Each case logs in as a user of its own server, which no earlier connection has
    // authenticated. Without a password libsmbclient sends no log-on at all.
    const Case cases[] = {
        {"answered", Answer::Right, 1, 0},
        {"declined", Answer::Declined, 1, 0},
        {"wrong", Answer::Wrong, 2, 1},
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
        const Refresh third = monitor.refresh();
        ASSERT_EQ(asked.size(), c.asked);
        EXPECT_EQ(asked[0].first, userUrl);
        EXPECT_EQ(asked[0].second, own.user());
        EXPECT_EQ(own.failedLogOns(), c.failedLogOns);
        EXPECT_EQ(first.caption, lists ? u"Conexiones activas: 2" : kOutageCaption);
        EXPECT_EQ(first.messages.size(), lists ? 0u : 1u);
        for (const Refresh& later : {second, third}) {
            EXPECT_EQ(later.caption, first.caption);
            EXPECT_TRUE(later.messages.empty());
        }
        setPasswordPrompt({});
    }
}

// Two refreshes a second with a wrong password in the credentials file: one failed log-on, which
// an account lock-out policy forgives, and one box. A corrected file is read at the next refresh,
// and its user name matches the URL's whatever their case.
TEST_F(SmbStationFileTest, ARefusedPasswordIsSentOnceUntilTheCredentialsFileChanges) {
    const std::string credentials =
        testing::writeCredentials(dir, *server, "not-" + server->password());
    useCredentialsFile(credentials);
    std::string upperUser = server->user();
    for (char& ch : upperUser) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    Monitor monitor("smb://" + upperUser + "@127.0.0.1:" + std::to_string(server->port()) +
                    "/station/MARLOVEN.SIT");
    std::size_t boxes = 0;
    for (int round = 0; round < 20; ++round) {
        const Refresh refresh = monitor.refresh();
        EXPECT_EQ(refresh.caption, kOutageCaption);
        boxes += refresh.messages.size();
        ::poll(nullptr, 0, 500);
    }
    EXPECT_EQ(server->failedLogOns(), 1);
    EXPECT_EQ(boxes, 1u);

    testing::writeCredentials(dir, *server, server->password());
    const Refresh fixed = monitor.refresh();
    EXPECT_EQ(fixed.caption, u"Conexiones activas: 7");
    EXPECT_TRUE(fixed.messages.empty());
    EXPECT_EQ(server->failedLogOns(), 1);
}

// A station file with one station in `step` held, read by the monitor through a gate that can
// stop it just before any of its reads.
class SmbServerFaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
        server_.emplace();
        gate_.emplace(server_->port());
    }
    void start(int stations, int step) {
        testing::writeStationFile(server_->localFile("MARLOVEN.SIT"), stations, 7);
        useCredentialsFile(testing::writeCredentials(dir_, *server_, server_->password()));
        std::vector<SmbLockHolder::Lock> locks;
        for (int row = 1; row <= stations; row += step) {
            locks.push_back(exclusiveRow(row));
            held.insert(row);
        }
        holder_.emplace(*server_, "MARLOVEN.SIT", locks);
    }

    // Makes `fault` happen to the smbd process serving the monitor while a refresh waits before
    // one of its reads (one in its middle, its last, its first), and once just after a refresh
    // has read everything. A refresh the fault came before a read of is an outage that keeps the
    // last good list; every other one, and each refresh after a fault, lists exactly the held
    // stations.
    void faultsAtReadsOfARefresh(const std::function<void(pid_t serving)>& fault) {
        struct Case {
            std::string name;
            // Which of the refresh's `reads` the fault comes before.
            std::function<long(long reads)> holdBefore;
            bool meets;
        };
        const Case cases[] = {
            {"before a read in the middle", [](long reads) { return reads / 2; }, true},
            {"before the last read", [](long reads) { return reads; }, true},
            {"before the first read", [](long) { return 1L; }, true},
            {"after the last read", [](long reads) { return reads + 1; }, false},
        };
        Monitor monitor("smb://127.0.0.1:" + std::to_string(gate_->port()) + "/" +
                        server_->share() + "/MARLOVEN.SIT");
        EXPECT_EQ(monitor.refresh().connected, held);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            // A refresh like the last one reads as many times: the locks have not changed.
            const long before = gate_->reads();
            const Refresh counted = monitor.refresh();
            EXPECT_EQ(counted.caption, u"Conexiones activas: 7");
            EXPECT_EQ(counted.connected, held);
            const long reads = gate_->reads() - before;
            ASSERT_GT(reads, 2);
            // The serving process changes each time the monitor connects again.
            const pid_t serving = testing::servingProcess(*server_);
            ASSERT_GT(serving, 0);

            gate_->holdBeforeRead(gate_->reads() + c.holdBefore(reads));
            std::atomic<bool> ended{false};
            bool met = false;
            std::thread faulty([&] {
                met = gate_->awaitHold([&] { return !ended; });
                if (met) {
                    fault(serving);
                }
                gate_->release();
            });
            const Refresh refresh = monitor.refresh();
            ended = true;
            faulty.join();
            if (!met) {
                // Between two refreshes: the next one meets the fault at its open, where it may
                // connect again or be an outage, and never lists what it did not see.
                fault(serving);
                EXPECT_EQ(monitor.refresh().connected, held);
            }
            EXPECT_EQ(met, c.meets);
            EXPECT_EQ(refresh.caption, met ? kOutageCaption : u"Conexiones activas: 7");
            EXPECT_EQ(refresh.connected, held) << "a list that is not the held stations";
        }
        const Refresh last = monitor.refresh();
        EXPECT_EQ(last.caption, u"Conexiones activas: 7") << "the monitor connects again by itself";
        EXPECT_EQ(last.connected, held);
    }

    std::set<int> held;
    TempDir dir_;
    std::optional<SmbTestServer> server_;
    std::optional<testing::SmbReadGate> gate_;
    std::optional<SmbLockHolder> holder_;
};

// The server ends the monitor's tree connection (an administrator's close-share, a server that
// drops idle shares) while refreshes run: reads then fail as a lock conflict does, and only the
// check after them tells. No refresh may list what it did not see.
TEST_F(SmbServerFaults, AShareClosedByTheServerIsAnOutageNeverAListOfConnectedStations) {
    start(200, 2);
    faultsAtReadsOfARefresh(
        [this](pid_t serving) { EXPECT_TRUE(testing::closeShare(*server_, serving)); });
}

// The smbd process that serves the monitor dies within a refresh of two blocks: each refresh it
// meets is an outage, and the next one lists again over a new connection.
TEST_F(SmbServerFaults, AServingProcessKilledMidRefreshIsAnOutageEveryTime) {
    start(5000, 50);
    faultsAtReadsOfARefresh([](pid_t serving) { ::kill(serving, SIGKILL); });
}

// A server that stops answering (a hung machine, a cable pulled on its side) holds one refresh
// for about one time-out, never several: the handle on the dead connection is dropped without a
// request, and the wait is not repeated by a retry.
TEST_F(SmbStationFileTest, ASilentServerHoldsARefreshForOneTimeOutAtMost) {
    SmbLockHolder holder(*server, "MARLOVEN.SIT", {exclusiveRow(4)});
    Monitor monitor(url);
    ASSERT_EQ(monitor.refresh().connected, std::set<int>{4});
    // One time-out, 5 s, and what the refresh does besides on a busy machine; a second one
    // would make 10 s.
    constexpr auto kBound = std::chrono::milliseconds(8500);
    std::size_t boxes = 0;
    {
        testing::SilentServer silent(*server);
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            const auto started = std::chrono::steady_clock::now();
            const Refresh refresh = monitor.refresh();
            const auto took = std::chrono::steady_clock::now() - started;
            RecordProperty(
                "refresh" + std::to_string(round) + "_ms",
                static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
            EXPECT_LT(took, kBound);
            EXPECT_EQ(refresh.caption, kOutageCaption);
            EXPECT_EQ(refresh.connected, std::set<int>{4});
            boxes += refresh.messages.size();
        }
    }
    EXPECT_EQ(boxes, 1u);
    const Refresh back = monitor.refresh();
    EXPECT_EQ(back.caption, u"Conexiones activas: 7");
    EXPECT_EQ(back.connected, std::set<int>{4});
}

// A workstation's rename of the file, as another SMB session: "renamed", or the server's refusal.
std::string renameAsAWorkstation(const SmbTestServer& server, const std::string& from,
                                 const std::string& to) {
    const std::string script =
        "import sys\n"
        "from impacket.smbconnection import SMBConnection\n"
        "c = SMBConnection('127.0.0.1', '127.0.0.1', sess_port=int(sys.argv[1]))\n"
        "c.login(sys.argv[2], sys.argv[3])\n"
        "try:\n"
        "    c.rename(sys.argv[4], sys.argv[5], sys.argv[6]); print('renamed')\n"
        "except Exception as e:\n"
        "    print(e)\n";
    return testing::runToEnd({"/usr/bin/python3", "-c", script, std::to_string(server.port()),
                              server.user(), server.password(), server.share(), from, to})
        .second;
}

// libsmbclient's share modes share read and write, never delete: while the monitor has the file
// open, a workstation cannot rename or delete it. The user guide says so.
TEST_F(SmbStationFileTest, WhileTheMonitorHasTheFileOpenAWorkstationCannotRenameIt) {
    {
        Monitor monitor(url);
        monitor.refresh();
        EXPECT_NE(renameAsAWorkstation(*server, "MARLOVEN.SIT", "OTRO.SIT")
                      .find("STATUS_SHARING_VIOLATION"),
                  std::string::npos);
    }
    EXPECT_EQ(renameAsAWorkstation(*server, "MARLOVEN.SIT", "OTRO.SIT"), "renamed\n");
}

TEST_F(SmbStationFileTest, StatusOfAnSmbFileCreatesNothing) {
    EXPECT_NO_THROW(requireSmbRegularFile(url));
    EXPECT_THROW(requireSmbRegularFile(server->url("NUEVO.SIT")), Error);
    EXPECT_FALSE(std::filesystem::exists(server->localFile("NUEVO.SIT")));
}

} // namespace
} // namespace orvendal::files
