// The journal's folder as another local user may reach it: one it may write, sticky or not, and
// side files it plants before the watcher needs them.
#include "filebytes.h"
#include "journal.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvendal;
using namespace orvendal::journal;
using namespace orvendal::testing;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char* kSideFiles[] = {"-wal", "-shm", "-journal"};

// How many of the journal's side file names another user takes or removes, trying each.
int takenByNobody(const std::string& db) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0) {
            ::_exit(100);
        }
        int taken = 0;
        for (const char* suffix : kSideFiles) {
            const std::string name = db + suffix;
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
            taken += fd >= 0 || ::unlink(name.c_str()) == 0;
        }
        ::_exit(taken);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(JournalFolder, NoOtherUserTakesOrWritesTheJournalsFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    const struct {
        const char* what;
        fs::perms mode;
        uid_t folderOwner;
        const char* planted; // by nobody, before the watcher starts
        const char* refusal; // empty when the watcher opens it
    } cases[] = {
        {"others may write, not sticky", fs::perms(0777), 0, nullptr, "sticky"},
        {"another user's folder", fs::perms(0755), kNobody, nullptr, "otro usuario"},
        {"sticky, -wal planted", fs::perms(01777), 0, "-wal", "otro usuario"},
        {"sticky, -journal planted", fs::perms(01777), 0, "-journal", "otro usuario"},
        {"sticky, nothing planted", fs::perms(01777), 0, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::permissions(dir.path(), fs::perms(0755));
        const fs::path folder = dir.path() / "shared";
        fs::create_directory(folder);
        fs::permissions(folder, c.mode);
        ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, c.folderOwner), 0);
        const std::string db = (folder / "journal.db").string();
        const std::vector<unsigned char> plantedBytes = {'m', 'i', 'o', '\n'};
        if (c.planted) {
            writeBytes(db + c.planted, plantedBytes);
            ASSERT_EQ(::chown((db + c.planted).c_str(), kNobody, kNobody), 0);
        }
        const auto now = WallClock::now();
        if (*c.refusal) {
            try {
                Journal::open(db, "MARLOVEN.SIT", now, Milliseconds(500));
                ADD_FAILURE() << "opened";
            } catch (const Error& error) {
                EXPECT_NE(error.description().find(c.refusal), std::string::npos)
                    << error.text('-');
            }
            if (c.planted) {
                EXPECT_EQ(readBytes(db + c.planted), plantedBytes);
            }
            continue;
        }
        // A new journal, then the restart of a stopped one: each time, and after the watcher
        // stopped, every name SQLite would make later is already this user's.
        for (int start = 0; start < 2; ++start) {
            {
                Journal journal = Journal::open(db, "MARLOVEN.SIT", now, Milliseconds(500));
                EXPECT_EQ(takenByNobody(db), 0) << "start " << start;
                station::Event connected;
                connected.time = now;
                connected.rec = start;
                journal.record({&connected, 1}, now);
                EXPECT_FALSE(journal.stop(now));
            }
            EXPECT_EQ(takenByNobody(db), 0) << "after start " << start;
        }
        EXPECT_EQ(JournalReader(db).overlapping(std::nullopt, std::nullopt, std::nullopt).size(),
                  2u);
    }
}

} // namespace
