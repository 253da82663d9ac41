#include "error.h"
#include "fileaccess.h"
#include "stationfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
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

// `records` records of distinct bytes from record 1, of which those at `lockedRecords` (1-based)
// have one byte locked, as a workstation locks its record.
LockedFileReader stationFile(std::uint64_t records, const std::vector<bool>& lockedRecords) {
    LockedFileReader reader;
    reader.content.resize(records * kRecordLength);
    std::iota(reader.content.begin(), reader.content.end(), std::uint8_t{0});
    for (std::uint64_t n = 1; n <= lockedRecords.size(); ++n) {
        if (lockedRecords[n - 1]) {
            reader.locks.push_back({(n - 1) * kRecordLength + 40, (n - 1) * kRecordLength + 41});
        }
    }
    return reader;
}

struct Outcome {
    std::vector<bool> locked;
    std::vector<std::uint8_t> bytes; // of the records that are not locked and in the file
};

Outcome findByRanges(LockedFileReader& reader, std::uint64_t first, std::uint64_t count,
                     const std::vector<bool>* previous = nullptr) {
    Outcome out;
    std::vector<std::uint8_t> bytes(count * kRecordLength);
    const std::uint64_t length =
        readRecordsFindingLocks(std::ref(reader), first, count, bytes, out.locked, previous);
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

// What the last refresh may have answered: the truth, a stale answer, or one that stops short.
std::vector<bool> previousAnswer(int kind, std::vector<bool> truth, std::mt19937& random) {
    for (std::size_t k = 0; kind == 1 && k < truth.size(); ++k) {
        truth[k] = random() % 4 == 0 ? !truth[k] : truth[k];
    }
    truth.resize(kind == 2 ? random() % (truth.size() + 1) : truth.size());
    return truth;
}

// Locked records, with L locked in G runs: one read each, and one for each of the gaps around
// them, at most G + 1.
std::uint64_t unchangedAnswerReads(const std::vector<bool>& locked) {
    std::uint64_t reads = 0;
    for (std::size_t k = 0; k < locked.size(); ++k) {
        reads += locked[k] || k == 0 || locked[k - 1];
    }
    return reads;
}

TEST(ReadFailureLocks, FindsWhatOneReadPerRecordFindsOnRandomLocks) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 1200; ++round) {
        const std::uint64_t records = 1 + random() % 60;
        LockedFileReader reader;
        // Now and then a trailing partial record.
        reader.content.resize(records * kRecordLength - (random() % 3 == 0 ? random() % 80 : 0));
        for (auto& byte : reader.content) {
            byte = static_cast<std::uint8_t>(random());
        }
        const int locks = static_cast<int>(random() % 12);
        for (int k = 0; k < locks; ++k) {
            // Of a byte, a record, or several records; anywhere, and past the end of the file.
            const std::uint64_t start = random() % (records * kRecordLength + 100);
            const std::uint64_t length = 1 + random() % (random() % 2 ? 81 : 300);
            reader.locks.push_back({start, start + length});
        }
        const std::uint64_t first = 1 + random() % records;
        const std::uint64_t count = 1 + random() % (records - first + 1);

        const Outcome oneByOne = findOneByOne(reader, first, count);
        // Every fourth round with no previous answer.
        const std::vector<bool> previous = previousAnswer(round % 4, oneByOne.locked, random);
        reader.reads = 0;
        const Outcome byRanges =
            findByRanges(reader, first, count, round % 4 == 3 ? nullptr : &previous);
        ASSERT_EQ(byRanges.locked, oneByOne.locked) << "round " << round;
        ASSERT_EQ(byRanges.bytes, oneByOne.bytes) << "round " << round;
        ASSERT_LE(reader.reads, count + kSpareReads) << "round " << round;
    }
}

// The bound holds for every way of locking up to 12 records, with no previous answer, the right
// one and its opposite, and for the patterns that cost a search the most on thousands.
TEST(ReadFailureLocks, NeverTakesMoreThanOneReadPerRecordAndAFew) {
    std::vector<std::vector<bool>> patterns;
    std::mt19937 random(7);
    const auto pattern = [&](std::uint64_t records, auto lockedAt) {
        std::vector<bool> locked(records);
        for (std::uint64_t k = 0; k < records; ++k) {
            locked[k] = lockedAt(k);
        }
        patterns.push_back(locked);
    };
    for (std::uint64_t records = 1; records <= 12; ++records) {
        for (std::uint64_t bits = 0; bits < (1u << records); ++bits) {
            pattern(records, [bits](std::uint64_t k) { return (bits >> k) & 1; });
        }
    }
    pattern(3000, [](std::uint64_t k) { return k % 2 == 1; });
    pattern(3000, [](std::uint64_t k) { return k % 3 == 2; });
    pattern(3000, [](std::uint64_t k) { return k % 4 >= 2; });
    pattern(3000, [](std::uint64_t) { return true; });
    pattern(3000, [&](std::uint64_t) { return random() % 10 < 3; });
    pattern(3000, [&](std::uint64_t) { return random() % 2 == 0; });
    // Crowded at the start, sparse after.
    pattern(3000, [&](std::uint64_t k) { return k < 500 ? k % 2 == 0 : random() % 100 == 0; });

    for (const std::vector<bool>& locked : patterns) {
        // Where few records are free there is little to save: one read beyond one per record.
        const std::uint64_t free = std::count(locked.begin(), locked.end(), false);
        const std::uint64_t most = locked.size() + (free < 32 ? 1 : kSpareReads);
        std::vector<bool> complement = locked;
        complement.flip();
        const std::vector<bool>* previousAnswers[] = {nullptr, &locked, &complement};
        for (const std::vector<bool>* previous : previousAnswers) {
            LockedFileReader reader = stationFile(locked.size(), locked);
            const Outcome out = findByRanges(reader, 1, locked.size(), previous);
            ASSERT_EQ(out.locked, locked);
            ASSERT_LE(reader.reads, most)
                << locked.size() << " records, " << std::count(locked.begin(), locked.end(), true)
                << " locked";
        }
    }
}

TEST(ReadFailureLocks, CountsReadsAsStationsComeAndGo) {
    std::mt19937 random(20261209);
    // `connected` of `records` stations, at random places.
    const auto stations = [&](std::uint64_t records, std::uint64_t connected) {
        std::vector<bool> locked(records, false);
        std::fill(locked.begin(), locked.begin() + static_cast<long>(connected), true);
        std::shuffle(locked.begin(), locked.end(), random);
        return locked;
    };
    struct Case {
        const char* what;
        std::vector<bool> locked;
        // Reads at most without a previous answer, and with one where a station left and another
        // came; with an unchanged answer, exactly unchangedAnswerReads().
        std::uint64_t fresh;
        std::uint64_t changed;
    };
    std::vector<bool> lone(10000, false);
    lone[6543] = true;
    const std::vector<bool> crowded = stations(10000, 3000);
    const std::vector<Case> cases = {
        {"20 records, 15 connected", stations(20, 15), 21, 21},
        {"40 records, 20 connected", stations(40, 20), 41, 41},
        {"100 records, 30 connected", stations(100, 30), 100 + kSpareReads, 101},
        // A station that comes into a gap of thousands is found by halving it, 14 reads, once 32
        // free records have read; before that a search spends no more than one failed read.
        {"10,000 records, none connected", std::vector<bool>(10000, false), 1, 2},
        {"10,000 records, one connected", lone, 64, 3 + 14 + 2 + 32},
        {"10,000 records, 3,000 connected", crowded, 10000 + kSpareReads,
         unchangedAnswerReads(crowded) + 32},
    };
    for (const Case& c : cases) {
        const std::uint64_t records = c.locked.size();
        LockedFileReader reader = stationFile(records, c.locked);
        EXPECT_EQ(findByRanges(reader, 1, records).locked, c.locked) << c.what;
        EXPECT_LE(reader.reads, c.fresh) << c.what;

        reader.reads = 0;
        EXPECT_EQ(findByRanges(reader, 1, records, &c.locked).locked, c.locked) << c.what;
        EXPECT_EQ(reader.reads, unchangedAnswerReads(c.locked)) << c.what;

        // One station leaves, another comes: the answer is wrong in two places.
        std::vector<bool> previous = c.locked;
        const auto left = std::find(previous.begin(), previous.end(), true);
        const auto came = std::find(previous.rbegin(), previous.rend(), false);
        if (left != previous.end()) {
            *left = false;
        }
        if (came != previous.rend()) {
            *came = true;
        }
        reader.reads = 0;
        EXPECT_EQ(findByRanges(reader, 1, records, &previous).locked, c.locked) << c.what;
        EXPECT_LE(reader.reads, std::min(c.changed, records + kSpareReads)) << c.what;
    }
}

TEST(ReadFailureLocks, AFailureThatIsNoLockEndsTheSearch) {
    std::vector<bool> locked;
    std::vector<std::uint8_t> bytes(10 * kRecordLength);
    const RangeReader lost = [](std::uint64_t,
                                std::span<std::uint8_t>) -> std::optional<std::size_t> {
        throw Error(errnoCode(ECONNRESET), "Connection reset by peer");
    };
    EXPECT_THROW(readRecordsFindingLocks(lost, 1, 10, bytes, locked), Error);
}

// A file whose reads fail on locks, as over SMB, read through the block the refresh uses.
class LockedFileAccess final : public files::FileAccess {
public:
    explicit LockedFileAccess(LockedFileReader& reader)
        : FileAccess(reader.content.size(), files::LockDetection::ReadFailure), reader_(reader) {}
    void close() override {}
    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return reader_(offset, buffer);
    }
    std::optional<files::ByteRange> findLock(std::uint64_t, std::uint64_t) override {
        throw Error(errnoCode(EOPNOTSUPP), "no lock queries here");
    }

private:
    LockedFileReader& reader_;
};

TEST(ReadFailureLocks, BlockStartsFromThePreviousAnswerAndTellsEachLock) {
    const std::vector<bool> locked = {false, true, true, false, false, true, false};
    LockedFileReader reader = stationFile(locked.size(), locked);
    const files::SharedFile file(std::make_unique<LockedFileAccess>(reader));
    // The header, record 1, is no part of the blocks.
    const RecordBlock first(file, 2, locked.size() - 1);
    std::vector<bool> previous;
    for (std::uint64_t n = 2; n <= locked.size(); ++n) {
        previous.push_back(first.locked(n));
    }
    EXPECT_EQ(previous, std::vector<bool>(locked.begin() + 1, locked.end()));

    reader.reads = 0;
    const RecordBlock next(file, 2, locked.size() - 1, &previous);
    EXPECT_EQ(reader.reads, unchangedAnswerReads(previous));
    for (std::uint64_t n = 2; n <= locked.size(); ++n) {
        PuestoBloquedos record;
        ClearRecord(record);
        EXPECT_EQ(next.locked(n), locked[n - 1]) << "record " << n;
        EXPECT_EQ(next.tryRead(n, record), !locked[n - 1]) << "record " << n;
        if (!locked[n - 1]) {
            PuestoBloquedos stored;
            ClearRecord(stored);
            decodeRecord(std::span(reader.content).subspan((n - 1) * kRecordLength, kRecordLength),
                         stored);
            EXPECT_EQ(record, stored) << "record " << n;
        }
    }
}

} // namespace
} // namespace orvendal::station
