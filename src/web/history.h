#pragma once

#include "historyreport.h"

#include <optional>
#include <string>
#include <vector>

// What the history pages draw, worked out from the journal: the sessions of a range, the times
// the journal cannot speak for, and how many stations were connected over it.
namespace orvendal::web {

using journal::Blind;
using journal::Session;

// A range of the journal as the pictures take it: what `history --since FROM --until TO`
// gives, the sessions cut to the first `limit` by when they were seen (`cut` says so) and none
// that ended at `from`.
struct HistoryRange : journal::History {
    WallClock::time_point from;
    WallClock::time_point to;
    bool cut = false;
};

// Reads [from, to) of the journal, at most `limit` sessions. Throws Error.
HistoryRange readHistory(const std::string& journal, WallClock::time_point from,
                         WallClock::time_point to, std::size_t limit);

// When a session was surely connected: from its start (the watcher's first refresh for one
// connected then, the reading that found it for one that began during an outage) to its end
// (the last reading before an outage it ended in; `now` while it is still connected).
struct Surely {
    WallClock::time_point from;
    WallClock::time_point to;
};
Surely surelyConnected(const Session& session, WallClock::time_point now);

// The number connected over [from, to): a step at every change, the first at `from`.
struct Step {
    WallClock::time_point at;
    int connected = 0;
};
struct Peak {
    int connected = 0;
    // The first instant it was reached; none when nobody was connected.
    std::optional<WallClock::time_point> at;
};
std::vector<Step> connectedOverTime(const std::vector<Session>& sessions,
                                    WallClock::time_point from, WallClock::time_point to,
                                    WallClock::time_point now);
Peak peakOf(const std::vector<Step>& steps);

// The peak of each of the consecutive ranges [bounds[i], bounds[i + 1]).
std::vector<Peak> peaksBetween(const std::vector<Session>& sessions,
                               const std::vector<WallClock::time_point>& bounds,
                               WallClock::time_point now);

} // namespace orvendal::web
