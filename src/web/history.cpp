#include "history.h"

#include <algorithm>
#include <map>

namespace orvendal::web {

HistoryRange readHistory(const std::string& journal, WallClock::time_point from,
                         WallClock::time_point to, std::size_t limit) {
    journal::JournalReader reader(journal);
    HistoryRange history;
    history.from = from;
    history.to = to;
    // One more than the limit says whether the journal had more.
    history.sessions = reader.overlapping(from, to, std::nullopt, limit + 1);
    if (history.sessions.size() > limit) {
        history.sessions.resize(limit);
        history.cut = true;
    }
    // overlapping() takes sessions that end at `from` too; the pages' ranges leave it out.
    std::erase_if(history.sessions, [&](const Session& s) { return s.end && *s.end <= from; });
    history.gaps = reader.gaps(from, to);
    history.outages = reader.outages(from, to);
    return history;
}

Surely surelyConnected(const Session& session, WallClock::time_point now) {
    const WallClock::time_point from = session.start.value_or(session.seen);
    WallClock::time_point to = session.endedAfter ? *session.endedAfter : session.end.value_or(now);
    return {from, std::max(from, to)};
}

namespace {

// Every change of the number connected: +1 where a session surely begins, -1 where it ends.
std::map<WallClock::time_point, int> changes(const std::vector<Session>& sessions,
                                             WallClock::time_point now) {
    std::map<WallClock::time_point, int> change;
    for (const Session& s : sessions) {
        const Surely surely = surelyConnected(s, now);
        if (surely.to > surely.from) {
            ++change[surely.from];
            --change[surely.to];
        }
    }
    return change;
}

} // namespace

std::vector<Step> connectedOverTime(const std::vector<Session>& sessions,
                                    WallClock::time_point from, WallClock::time_point to,
                                    WallClock::time_point now) {
    std::vector<Step> steps{{from, 0}};
    for (const auto& [at, delta] : changes(sessions, now)) {
        if (at <= from) {
            steps.front().connected += delta;
        } else if (at < to) {
            steps.push_back({at, steps.back().connected + delta});
        }
    }
    return steps;
}

Peak peakOf(const std::vector<Step>& steps) {
    Peak peak;
    for (const Step& step : steps) {
        if (step.connected > peak.connected) {
            peak = {step.connected, step.at};
        }
    }
    return peak;
}

std::vector<Peak> peaksBetween(const std::vector<Session>& sessions,
                               const std::vector<WallClock::time_point>& bounds,
                               WallClock::time_point now) {
    std::vector<Peak> peaks;
    if (bounds.size() < 2) {
        return peaks;
    }
    peaks.resize(bounds.size() - 1);
    const auto change = changes(sessions, now);
    auto next = change.begin();
    int connected = 0;
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
        // What holds at the range's start counts from its start.
        for (; next != change.end() && next->first <= bounds[i]; ++next) {
            connected += next->second;
        }
        Peak& peak = peaks[i];
        if (connected > 0) {
            peak = {connected, bounds[i]};
        }
        for (; next != change.end() && next->first < bounds[i + 1]; ++next) {
            connected += next->second;
            if (connected > peak.connected) {
                peak = {connected, next->first};
            }
        }
    }
    return peaks;
}

} // namespace orvendal::web
