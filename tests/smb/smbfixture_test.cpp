#include "smblockholder.h"
#include "smbtestserver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace orvendal::testing {
namespace {

using Lock = SmbLockHolder::Lock;

class SmbFixtureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
        server.emplace();
        writeBytes(server->localFile("MARLOVEN.SIT"), std::vector<unsigned char>(5 * 81, ' '));
    }
    std::optional<SmbTestServer> server;
};

// Another session's locks decide what a second session is granted, as between two workstations.
TEST_F(SmbFixtureTest, ASecondSessionIsGrantedOnlyWhatDoesNotConflict) {
    SmbLockHolder first(*server, "MARLOVEN.SIT",
                        {SmbLockHolder::exclusive(81, 81), SmbLockHolder::shared(162, 81)});
    SmbLockHolder second(*server, "MARLOVEN.SIT");
    const struct {
        Lock lock;
        bool granted;
    } cases[] = {
        {SmbLockHolder::exclusive(81, 81), false},  {SmbLockHolder::shared(81, 81), false},
        {SmbLockHolder::exclusive(120, 10), false}, {SmbLockHolder::exclusive(162, 81), false},
        {SmbLockHolder::shared(162, 81), true},     {SmbLockHolder::exclusive(243, 81), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(second.lock(c.lock), c.granted)
            << "at " << c.lock.range.start << " length " << c.lock.range.length;
    }
    EXPECT_EQ(second.cycle(10, SmbLockHolder::Kind::Exclusive, {{81, 81}, {324, 81}}), 10)
        << "every lock of the held record refused, every other one granted and undone";
    EXPECT_TRUE(second.unlock(243, 81));
    EXPECT_FALSE(second.unlock(243, 81)) << "nothing left to unlock";
}

TEST_F(SmbFixtureTest, TheLocksEndWithTheirSession) {
    std::optional<SmbLockHolder> first(std::in_place, *server, "MARLOVEN.SIT",
                                       std::vector{SmbLockHolder::exclusive(81, 81)});
    EXPECT_NE(server->byteRangeLocks().find("MARLOVEN.SIT"), std::string::npos);
    first.reset();
    SmbLockHolder second(*server, "MARLOVEN.SIT");
    bool granted = false;
    for (int i = 0; i < 500 && !granted; ++i) {
        granted = second.lock(SmbLockHolder::exclusive(81, 81));
    }
    EXPECT_TRUE(granted);
}

TEST_F(SmbFixtureTest, ALockRefusedAtStartIsAnError) {
    SmbLockHolder first(*server, "MARLOVEN.SIT", {SmbLockHolder::exclusive(81, 81)});
    EXPECT_THROW(SmbLockHolder(*server, "MARLOVEN.SIT", {SmbLockHolder::shared(100, 1)}),
                 std::runtime_error);
    EXPECT_THROW(SmbLockHolder(*server, "MISSING.SIT"), std::runtime_error);
}

// The processes whose command line names `text`.
int processesNaming(const std::string& text) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline");
        const std::string line{std::istreambuf_iterator<char>(in), {}};
        count += line.find(text) != std::string::npos;
    }
    return count;
}

// With a session connected, so that a connection's own smbd process is running too.
TEST(SmbTestServer, StopsEveryProcessItStartedAndRemovesItsFolder) {
    if (const auto why = SmbTestServer::unavailable()) {
        GTEST_SKIP() << *why;
    }
    std::string conf;
    std::filesystem::path share;
    {
        SmbTestServer server({"posix locking = no"});
        conf = server.conf();
        share = server.path();
        std::ifstream in(conf);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        EXPECT_NE(text.find("\n    posix locking = no\n"), std::string::npos);
        writeBytes(server.localFile("MARLOVEN.SIT"), std::vector<unsigned char>(81, ' '));
        SmbLockHolder holder(server, "MARLOVEN.SIT", {SmbLockHolder::exclusive(0, 81)});
        EXPECT_GE(processesNaming(conf), 3) << "the main smbd, its helpers and the session's";
    }
    EXPECT_EQ(processesNaming(conf), 0);
    EXPECT_FALSE(std::filesystem::exists(share.parent_path()));
}

} // namespace
} // namespace orvendal::testing
