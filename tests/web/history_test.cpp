// How many were connected, and each day's peak: the sessions the journal keeps, counted only
// while they were surely connected, across midnights.
#include "history.h"

#include <gtest/gtest.h>

using namespace orvendal::web;
using orvendal::WallClock;
using std::chrono::hours;
using std::chrono::minutes;

namespace {

const WallClock::time_point kMidnight = WallClock::time_point(std::chrono::days(20'000));

WallClock::time_point at(int hour, int minute = 0) {
    return kMidnight + hours(hour) + minutes(minute);
}

Session session(std::optional<WallClock::time_point> start, WallClock::time_point seen,
                std::optional<WallClock::time_point> end) {
    Session s;
    s.start = start;
    s.atStart = !start;
    s.seen = seen;
    s.end = end;
    return s;
}

TEST(History, PeaksCountOnlyWhatWasSurelyConnectedDayByDay) {
    std::vector<Session> sessions = {
        // Over the first midnight: connected at the second day's start.
        session(at(-1), at(-1), at(1)),
        // Connected when watching began: from the first refresh.
        session(std::nullopt, at(0, 30), at(2)),
        // Ended during an outage: surely connected only until the last good reading.
        session(at(0, 45), at(0, 45), at(3)),
        // Still connected: until now.
        session(at(20), at(20), std::nullopt),
    };
    sessions[2].endedAfter = at(0, 50);
    const WallClock::time_point now = at(22);
    const std::vector<WallClock::time_point> days = {at(-24), at(0), at(24)};

    const std::vector<Peak> peaks = peaksBetween(sessions, days, now);
    ASSERT_EQ(peaks.size(), 2u);
    EXPECT_EQ(peaks[0].connected, 1);
    EXPECT_EQ(peaks[0].at, at(-1));
    EXPECT_EQ(peaks[1].connected, 3);
    EXPECT_EQ(peaks[1].at, at(0, 45));

    // The day's own line agrees with its bar, and counts nobody after now.
    const std::vector<Step> steps = connectedOverTime(sessions, at(0), at(24), now);
    const Peak day = peakOf(steps);
    EXPECT_EQ(day.connected, peaks[1].connected);
    EXPECT_EQ(day.at, peaks[1].at);
    EXPECT_EQ(steps.front().connected, 1) << "the session over midnight";
    EXPECT_EQ(steps.back().at, now);
    EXPECT_EQ(steps.back().connected, 0);
    const auto ended =
        std::find_if(steps.begin(), steps.end(), [](const Step& s) { return s.at == at(0, 50); });
    ASSERT_NE(ended, steps.end());
    EXPECT_EQ(ended->connected, 2);
}

} // namespace
