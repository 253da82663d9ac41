#include "proclocks.h"

#include <gtest/gtest.h>

#include <limits>

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
    const auto locks = recordLocksIn(table, 0xfe, 0, 1234);
    ASSERT_TRUE(locks);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {81, 162}, {0, kEof}, {4000, 4001}};
    ASSERT_EQ(locks->size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ((*locks)[k].start, expected[k].first) << k;
        EXPECT_EQ((*locks)[k].end, expected[k].second) << k;
    }
    EXPECT_TRUE(recordLocksIn("", 0xfe, 0, 1234)->empty());
}

TEST(ProcLocks, ARangeOfTheFileItCannotReadIsNoAnswer) {
    for (const char* line : {"1: POSIX  ADVISORY  WRITE 1 fe:00:1234 81\n",
                             "1: POSIX  ADVISORY  WRITE 1 fe:00:1234 81 80\n",
                             "1: POSIX  ADVISORY  WRITE 1 fe:00:1234 x 90\n",
                             "1: POSIX  ADVISORY  WRITE 1 fe:00:1234 -1 90\n"}) {
        EXPECT_FALSE(recordLocksIn(line, 0xfe, 0, 1234)) << line;
        // Another file's line, however odd, does not matter.
        EXPECT_TRUE(recordLocksIn(line, 0xfe, 0, 99)) << line;
    }
}

} // namespace
} // namespace orvendal::files
