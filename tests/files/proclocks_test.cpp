#include "proclocks.h"

#include <gtest/gtest.h>

#include <limits>
#include <string_view>
#include <vector>

namespace orvendal::files {
namespace {

constexpr auto kEof = std::numeric_limits<std::uint64_t>::max();

TEST(ProcLocks, TakesTheRecordLocksOfOneFileAndNothingElse) {
    // Lines as Linux 6 writes them; the file is fe:00:1234.
    const char* table = "1: POSIX  ADVISORY  WRITE 17917 fe:00:1234 81 161\n"
                        "2: OFDLCK ADVISORY  READ  -1 fe:00:1234 0 EOF\n"
                        "3: -> POSIX  ADVISORY  WRITE 4242 fe:00:1234 0 400\n"
                        "4: -> -> OFDLCK ADVISORY  WRITE -1 fe:00:1234 0 400\n"
                        "5: FLOCK  ADVISORY  WRITE 17 fe:00:1234 0 EOF\n"
                        "6: LEASE  ACTIVE    READ  17 fe:00:1234 0 EOF\n"
                        "7: POSIX  ADVISORY  WRITE 17 fe:00:12345 0 EOF\n"
                        "8: POSIX  ADVISORY  WRITE 17 fe:01:1234 0 EOF\n"
                        "9: POSIX  ADVISORY  WRITE 17 0e:00:1234 0 EOF\n"
                        "10: OFDLCK ADVISORY  WRITE 0 fe:00:1234 4000 4000";
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {81, 162}, {0, kEof}, {4000, 4001}};
    // Whole, and in two parts cut after each line, as the pages of a read come.
    const std::string_view whole(table);
    std::vector<std::size_t> cuts{0};
    for (std::size_t k = 0; k < whole.size(); ++k) {
        if (whole[k] == '\n') {
            cuts.push_back(k + 1);
        }
    }
    for (const std::size_t cut : cuts) {
        LockTableLines lines(0xfe, 0, 1234);
        ASSERT_TRUE(lines.add(whole.substr(0, cut)));
        ASSERT_TRUE(lines.add(whole.substr(cut)));
        const auto& locks = lines.locks();
        ASSERT_EQ(locks.size(), expected.size()) << cut;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(locks[k].start, expected[k].first) << k;
            EXPECT_EQ(locks[k].end, expected[k].second) << k;
        }
        // The waiting processes, the flock() lock, the lease and the other files' locks.
        EXPECT_EQ(lines.otherLines(), 7u) << cut;
    }
    LockTableLines empty(0xfe, 0, 1234);
    EXPECT_TRUE(empty.add(""));
    EXPECT_TRUE(empty.locks().empty());
    EXPECT_EQ(empty.otherLines(), 0u);
}

TEST(ProcLocks, ARangeOfTheFileItCannotReadIsNoAnswer) {
    for (const char* line : {"1: POSIX  ADVISORY  WRITE 1 fe:00:1234 81\n",
                             "1: POSIX  ADVISORY  WRITE 1 fe:00:1234 81 80\n",
                             "1: POSIX  ADVISORY  WRITE 1 fe:00:1234 x 90\n",
                             "1: POSIX  ADVISORY  WRITE 1 fe:00:1234 -1 90\n"}) {
        EXPECT_FALSE(LockTableLines(0xfe, 0, 1234).add(line)) << line;
        // Another file's line, however odd, does not matter.
        EXPECT_TRUE(LockTableLines(0xfe, 0, 99).add(line)) << line;
    }
}

} // namespace
} // namespace orvendal::files
