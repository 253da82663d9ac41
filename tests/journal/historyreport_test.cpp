#include "historyreport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace orvendal::journal {
namespace {

// Written as the journal is read, the CSV keeps the order the lines always had: sessions by when
// they were seen, gaps and outages by their start, an open start first, and on a tie a session,
// then a gap, then an outage, each kind in its own order.
TEST(HistoryReport, RowsWrittenAsTheyAreReadKeepTheTimeOrder) {
    const auto t = [](long long ms) { return fromEpochMilliseconds(ms); };
    const auto session = [&](std::int64_t rec, long long seen) {
        Session s;
        s.rec = rec;
        s.seen = t(seen);
        return s;
    };
    History history;
    history.sessions = {session(1, 1000), session(2, 2000), session(3, 2000), session(4, 3000)};
    history.gaps = {{std::nullopt, t(1000), ""}, {t(2000), t(3000), ""}, {t(5000), {}, ""}};
    history.outages = {{t(1000), t(1500), "1-a"},
                       {t(2000), t(2500), "2-b"},
                       {t(2000), t(2600), "3-c"},
                       {t(4000), {}, "4-d"}};
    std::string expected(kHistoryCsvHeading);
    for (const HistoryLine& line : inTimeOrder(history)) {
        expected += historyCsvLine(line);
    }
    std::ostringstream written;
    writeHistoryCsv(written, history);
    EXPECT_EQ(written.str(), expected);
}

} // namespace
} // namespace orvendal::journal
