#include "error.h"
#include "stationfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace orvendal::station {
namespace {

// A station file whose reads fail wherever a range touches a byte another owner has locked, as
// reads over SMB and on Windows do; it counts the reads it is asked for.
struct LockedFileReader {
    std::vector<std::uint8_t> content;
    std::vector<files::ByteRange> locks;
    int reads = 0;

    std::optional<std::size_t> operator()(std::uint64_t offset, std::span<std::uint8_t> buffer) {
        ++reads;
        for (const files::ByteRange& lock : locks) {
            if (lock.start < offset + buffer.size() && offset < lock.end) {
                return std::nullopt;
            }
        }
        const std::size_t n =
            offset >= content.size() ? 0 : std::min(buffer.size(), content.size() - offset);
        std::memcpy(buffer.data(), content.data() + offset, n);
        return n;
    }
};

struct Outcome {
    std::vector<bool> locked;
    std::vector<std::uint8_t> bytes; // of the records that are not locked and in the file
};

Outcome findByRanges(LockedFileReader& reader, std::uint64_t first, std::uint64_t count) {
    Outcome out;
    std::vector<std::uint8_t> bytes(count * kRecordLength);
    const std::uint64_t length =
        readRecordsFindingLocks(std::ref(reader), first, count, bytes, out.locked);
    for (std::uint64_t k = 0; k < count; ++k) {
        if (!out.locked[k]) {
            const std::uint64_t from = std::min(k * kRecordLength, length);
            const std::uint64_t to = std::min((k + 1) * kRecordLength, length);
            out.bytes.insert(out.bytes.end(), bytes.begin() + from, bytes.begin() + to);
        }
    }
    return out;
}

Outcome findOneByOne(LockedFileReader& reader, std::uint64_t first, std::uint64_t count) {
    Outcome out;
    for (std::uint64_t n = first; n < first + count; ++n) {
        std::vector<std::uint8_t> record(kRecordLength);
        const auto got = reader((n - 1) * kRecordLength, record);
        out.locked.push_back(!got);
        if (got) {
            out.bytes.insert(out.bytes.end(), record.begin(), record.begin() + *got);
        }
    }
    return out;
}

TEST(ReadFailureLocks, FindsWhatOneReadPerRecordFindsOnRandomLocks) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t records = 1 + random() % 60;
        LockedFileReader reader;
        // Now and then a trailing partial record.
        reader.content.resize(records * kRecordLength - (random() % 3 == 0 ? random() % 80 : 0));
        for (auto& byte : reader.content) {
            byte = static_cast<std::uint8_t>(random());
        }
        const int locks = static_cast<int>(random() % 8);
        for (int k = 0; k < locks; ++k) {
            // Of a byte, a record, or several records; anywhere, and past the end of the file.
            const std::uint64_t start = random() % (records * kRecordLength + 100);
            const std::uint64_t length = 1 + random() % (random() % 2 ? 81 : 300);
            reader.locks.push_back({start, start + length});
        }
        const std::uint64_t first = 1 + random() % records;
        const std::uint64_t count = 1 + random() % (records - first + 1);

        const Outcome byRanges = findByRanges(reader, first, count);
        const Outcome oneByOne = findOneByOne(reader, first, count);
        ASSERT_EQ(byRanges.locked, oneByOne.locked) << "round " << round;
        ASSERT_EQ(byRanges.bytes, oneByOne.bytes) << "round " << round;
    }
}

TEST(ReadFailureLocks, TakesFarFewerReadsThanRecordsUnlessMostAreLocked) {
    struct Case {
        const char* what;
        std::vector<std::uint64_t> lockedRecords;
        int mostReads;
    };
    std::vector<std::uint64_t> everyOther;
    for (std::uint64_t n = 2; n <= 1001; n += 2) {
        everyOther.push_back(n);
    }
    const Case cases[] = {
        {"none locked", {}, 1},
        {"one locked", {500}, 40},
        {"a few locked", {2, 300, 301, 999}, 4 * 40},
        // Dense locks cost little more than one read per record.
        {"every other locked", everyOther, 1000 + 1000 / 7 + 2},
    };
    for (const Case& c : cases) {
        LockedFileReader reader;
        reader.content.assign(1001 * kRecordLength, 'x');
        for (const std::uint64_t n : c.lockedRecords) {
            reader.locks.push_back({(n - 1) * kRecordLength + 40, (n - 1) * kRecordLength + 41});
        }
        const Outcome out = findByRanges(reader, 2, 1000);
        EXPECT_EQ(std::count(out.locked.begin(), out.locked.end(), true),
                  static_cast<long>(c.lockedRecords.size()))
            << c.what;
        EXPECT_LE(reader.reads, c.mostReads) << c.what;
    }
}

TEST(ReadFailureLocks, AFailureThatIsNoLockEndsTheSearch) {
    std::vector<bool> locked;
    std::vector<std::uint8_t> bytes(10 * kRecordLength);
    const RangeReader lost = [](std::uint64_t,
                                std::span<std::uint8_t>) -> std::optional<std::size_t> {
        throw Error(104, "Connection reset by peer");
    };
    EXPECT_THROW(readRecordsFindingLocks(lost, 1, 10, bytes, locked), Error);
}

} // namespace
} // namespace orvendal::station
