// Station paths a user cannot read or create, checked as a user who is not root and on a
// read-only mount. Each case runs in a child process that drops its privileges or mounts a
// private read-only file system, so the test process itself stays as it was.
#include "error.h"
#include "sharedfile.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvendal::station {
namespace {

using testing::TempDir;

constexpr uid_t kNobody = 65534;

// What SharedFile::open reports in a child prepared by `prepare`: 0 for an open that succeeds, the
// errno it failed with, 254 for any other failure, -1 when the child could not be prepared.
int openInChild(const std::string& path, const std::function<bool()>& prepare) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (!prepare()) {
            ::_exit(255);
        }
        int status = 0;
        try {
            files::SharedFile::open(path);
        } catch (const Error& e) {
            status = e.code().category() == std::generic_category() ? e.code().value() : 254;
        }
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    return code == 255 ? -1 : code;
}

bool becomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
           ::setresuid(kNobody, kNobody, kNobody) == 0;
}

bool mountReadOnly(const std::string& folder) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) ==
               0;
}

TEST(StationPathMatrix, UserWhoIsNotRootGetsAClearErrorAndNothingIsCreated) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const std::string unreadable = dir.file("unreadable.SIT");
    testing::writeBytes(unreadable, std::vector<unsigned char>(81, ' '));
    std::filesystem::permissions(unreadable, std::filesystem::perms::none);

    const std::string readOnlyFolder = dir.file("read-only");
    std::filesystem::create_directory(readOnlyFolder);
    const std::string readable = readOnlyFolder + "/readable.SIT";
    testing::writeBytes(readable, std::vector<unsigned char>(81, ' '));
    std::filesystem::permissions(readable, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::group_read |
                                               std::filesystem::perms::others_read);
    std::filesystem::permissions(readOnlyFolder, std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_read |
                                                     std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_read |
                                                     std::filesystem::perms::others_exec);

    EXPECT_EQ(openInChild(unreadable, becomeNobody), EACCES) << "mode 000";
    EXPECT_EQ(openInChild(readOnlyFolder + "/MARLOVEN.SIT", becomeNobody), EACCES)
        << "missing file in a folder the user cannot write";
    EXPECT_FALSE(std::filesystem::exists(readOnlyFolder + "/MARLOVEN.SIT"));
    EXPECT_EQ(openInChild(readable, becomeNobody), 0)
        << "a file the user may only read is watched like any other";
}

TEST(StationPathMatrix, ReadOnlyMountRefusesCreationAndReadsAnExistingFile) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount";
    }
    TempDir dir;
    const std::string existing = dir.file("MARLOVEN.SIT");
    testing::writeBytes(existing, std::vector<unsigned char>(81 * 2, ' '));
    const auto readOnly = [&] { return mountReadOnly(dir.path().string()); };

    const int missing = openInChild(dir.file("OTHER.SIT"), readOnly);
    if (missing == -1) {
        GTEST_SKIP() << "this machine does not allow a private mount";
    }
    EXPECT_EQ(missing, EROFS);
    EXPECT_EQ(openInChild(existing, readOnly), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("OTHER.SIT")));
}

} // namespace
} // namespace orvendal::station
