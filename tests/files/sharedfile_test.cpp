#include "error.h"
#include "localfilesystem.h"
#include "lockholder.h"
#include "sharedfile.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::files {
namespace {

using testing::LockHolder;
using testing::TempDir;

std::error_code errorOfOpen(const std::string& path) {
    try {
        SharedFile::open(path);
    } catch (const Error& e) {
        return e.code();
    }
    return {};
}

TEST(SharedFile, MissingFileIsCreatedEmptyAndNeverWritten) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    {
        auto file = SharedFile::open(path);
        EXPECT_EQ(file.length(), 0u);
    }
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    EXPECT_TRUE(S_ISREG(before.st_mode));
    for (int i = 0; i < 20; ++i) {
        auto file = SharedFile::open(path);
        std::array<std::uint8_t, 81> buffer{};
        EXPECT_EQ(file.readAt(0, buffer), 0u);
        EXPECT_FALSE(file.findLock(0, 81));
    }
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(SharedFile, RefusesWhatIsNotARegularFileWithoutHanging) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder"));
    std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));
    std::filesystem::create_symlink(dir.file("loop"), dir.file("loop"));

    struct Case {
        std::string path;
        std::error_code code;
    };
    const Case cases[] = {
        {dir.file("fifo"), errc::NotRegularFile},
        {dir.file("folder"), errc::NotRegularFile},
        {"/dev/null", errc::NotRegularFile},
        {dir.file("dangling"), errnoCode(ENOENT)},
        {dir.file("loop"), errnoCode(ELOOP)},
        {dir.file("no-such-folder/MARLOVEN.SIT"), errnoCode(ENOENT)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOfOpen(c.path), c.code) << c.path;
    }
    // Nothing was created through the dangling link.
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
}

TEST(SharedFile, ProbeSeesEveryKindOfLockOfAnotherProcess) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    testing::writeBytes(path, std::vector<unsigned char>(81 * 3, 'x'));
    struct Case {
        const char* what;
        LockHolder::Kind kind;
        LockHolder::Range range;
    };
    const Case cases[] = {
        {"classic write lock of a record", LockHolder::Kind::ClassicWrite, {81, 81}},
        {"classic read lock of a record", LockHolder::Kind::ClassicRead, {81, 81}},
        {"OFD write lock of one byte", LockHolder::Kind::OfdWrite, {161, 1}},
        {"OFD read lock of one byte", LockHolder::Kind::OfdRead, {81, 1}},
    };
    const auto file = SharedFile::open(path);
    for (const auto& c : cases) {
        LockHolder holder(path, {c.range}, c.kind);
        EXPECT_FALSE(file.findLock(0, 81)) << c.what;
        const auto lock = file.findLock(81, 81);
        ASSERT_TRUE(lock) << c.what;
        EXPECT_EQ(lock->start, c.range.start) << c.what;
        EXPECT_EQ(lock->end, c.range.start + c.range.length) << c.what;
        EXPECT_FALSE(file.findLock(162, 81)) << c.what;
    }
    EXPECT_FALSE(file.findLock(81, 81)) << "the locks went with their holder";
}

TEST(SharedFile, ProbeSeesLocksPastTheEndOfTheFile) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    testing::writeBytes(path, std::vector<unsigned char>(100, 'x'));
    LockHolder holder(path, {{81 * 5, 81}});
    const auto file = SharedFile::open(path);
    EXPECT_TRUE(file.findLock(81 * 5, 81));
    EXPECT_FALSE(file.findLock(81 * 4, 81));
}

TEST(SharedFile, ReadsShortAtTheEndAndNeverChangesTheFile) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    std::vector<unsigned char> bytes(100);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    testing::writeBytes(path, bytes);
    const auto file = SharedFile::open(path);
    std::array<std::uint8_t, 81> buffer{};
    EXPECT_EQ(file.readAt(81, buffer), 19u);
    EXPECT_EQ(buffer[0], 81);
    EXPECT_EQ(buffer[18], 99);
    EXPECT_EQ(file.readAt(500, buffer), 0u);
    EXPECT_EQ(testing::readBytes(path), bytes);
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

TEST(SharedFile, ExecutableDirectoryIsThisTestsFolder) {
    const std::string dir = executableDirectory();
    EXPECT_TRUE(std::filesystem::exists(dir + "/files_tests")) << dir;
}

} // namespace
} // namespace orvendal::files

namespace orvendal::files {
namespace {

// The kernel's cifs client answers a lock probe by taking the lock on the server, so on cifs and
// smb3 mounts locks are told by failed reads; every other file system is probed. The choice hangs
// on the statfs type alone, since no SMB mount can be made on the test machines.
TEST(SharedFile, NetworkMountsOfSmbAreNeverProbed) {
    struct Case {
        const char* what;
        std::int64_t type;
        LockDetection expected;
    };
    const Case cases[] = {
        {"cifs", 0xFF534D42, LockDetection::ReadFailure},
        {"smb3", 0xFE534D42, LockDetection::ReadFailure},
        {"ext4", 0xEF53, LockDetection::Probe},
        {"tmpfs", 0x01021994, LockDetection::Probe},
        {"nfs", 0x6969, LockDetection::Probe},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lockDetectionOf(c.type), c.expected) << c.what;
    }
    TempDir dir;
    EXPECT_EQ(SharedFile::open(dir.file("MARLOVEN.SIT")).lockDetection(), LockDetection::Probe);
}

} // namespace
} // namespace orvendal::files
