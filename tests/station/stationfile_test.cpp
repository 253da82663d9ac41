#include "error.h"
#include "lockholder.h"
#include "recordprobe.h"
#include "stationfile.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <optional>

#include <random>

namespace orvendal::station {
namespace {

using testing::LockHolder;
using testing::TempDir;

TEST(StationFile, RecordCountIncludesATrailingPartialRecord) {
    EXPECT_EQ(recordCount(0), 0u);
    EXPECT_EQ(recordCount(1), 1u);
    EXPECT_EQ(recordCount(81), 1u);
    EXPECT_EQ(recordCount(82), 2u);
    EXPECT_EQ(recordCount(81 * 3 + 10), 4u);
}

TEST(StationFile, LockedRecordCannotBeReadAndOthersCan) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    std::vector<unsigned char> bytes(81 * 3, ' ');
    std::fill(bytes.begin() + 81 * 2 + 7, bytes.begin() + 81 * 2 + 11, 0);
    bytes[81 * 2 + 7] = 42;
    testing::writeBytes(path, bytes);
    LockHolder holder(path, {{81 + 40, 1}});
    const auto file = files::SharedFile::open(path);

    const RecordBlock block(file, 1, 3);
    PuestoBloquedos record;
    try {
        block.read(2, record);
        FAIL() << "a locked record was read";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::RecordLocked);
    }
    EXPECT_FALSE(block.tryRead(2, record));
    EXPECT_TRUE(block.locked(2));
    EXPECT_FALSE(block.locked(3));
    block.read(3, record);
    EXPECT_EQ(record.StationNumber, 42);
    EXPECT_TRUE(block.tryRead(1, record));
}

TEST(StationFile, BlockReadsRecordsPastTheEndLikeSingleReads) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    std::vector<unsigned char> bytes(81 * 2 + 9, 'a');
    testing::writeBytes(path, bytes);
    const auto file = files::SharedFile::open(path);
    const RecordBlock block(file, 2, 3);
    for (std::uint64_t n = 2; n <= 4; ++n) {
        PuestoBloquedos fromBlock;
        PuestoBloquedos single;
        ClearRecord(fromBlock);
        ClearRecord(single);
        ASSERT_TRUE(block.tryRead(n, fromBlock));
        testing::probeAndRead(file, n, single);
        EXPECT_EQ(fromBlock, single) << "record " << n;
    }
    PuestoBloquedos partial;
    ClearRecord(partial);
    ASSERT_TRUE(block.tryRead(3, partial));
    EXPECT_EQ(partial.StationNumber, 0x6161) << "two of its four bytes exist";
    EXPECT_EQ(partial.ConnectionText[0], u' ');
}

// The few-probes sweep must report exactly what one probe per record reports.
TEST(StationFile, LockedRecordsMatchOneProbePerRecordOnRandomLockSets) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t records = 1 + random() % 400;
        testing::writeBytes(path, std::vector<unsigned char>(records * 81 - random() % 80, ' '));
        // Two holders with read locks, so that their ranges may overlap and touch.
        std::vector<LockHolder::Range> first;
        std::vector<LockHolder::Range> second;
        const int locks = static_cast<int>(random() % 12);
        for (int k = 0; k < locks; ++k) {
            const std::uint64_t start = random() % (records * 81 + 200);
            const std::uint64_t shapes[] = {1, 81, 2 + random() % 300};
            (k % 2 ? first : second).push_back({start, shapes[random() % 3]});
        }
        LockHolder a(path, first, LockHolder::Kind::ClassicRead);
        LockHolder b(path, second, LockHolder::Kind::OfdRead);
        const auto file = files::SharedFile::open(path);

        const std::uint64_t from = 1 + random() % records;
        const std::uint64_t count = records + 2 - from;
        const std::vector<bool> locked = findLockedRecords(file, from, count);
        ASSERT_EQ(locked.size(), count);
        // The kernel's table of locks gives the same answer. It is read a page at a time, and a
        // lock of ours can slip between two pages while other programs release theirs (CTest
        // runs lock tests side by side): a miss counts only when three reads in a row agree on it.
        std::optional<std::vector<bool>> fromTable;
        for (int read = 0; read < 3 && fromTable != locked; ++read) {
            const auto table = file.lockTable(2 * records + 2);
            if (table.outcome == files::LockTable::Outcome::NotHere) {
                GTEST_SKIP() << "no table of locks for the temporary folder's file system";
            }
            // Given up while other tests hold many locks of their own: the probes still count.
            if (table.outcome != files::LockTable::Outcome::Listed) {
                break;
            }
            fromTable = lockedRecordsIn(table.locks, from, count);
        }
        if (fromTable) {
            EXPECT_EQ(*fromTable, locked) << "trial " << trial;
        }
        for (std::uint64_t n = from; n < from + count; ++n) {
            const bool probed = file.findLock((n - 1) * 81, 81).has_value();
            ASSERT_EQ(locked[n - from], probed) << "trial " << trial << ", record " << n;
        }
    }
}

} // namespace
} // namespace orvendal::station
