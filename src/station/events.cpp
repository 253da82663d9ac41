#include "events.h"

#include <algorithm>

namespace orvendal::station {
namespace {

template <std::size_t N> std::u16string_view view(const FixedText<N>& text) {
    return {text.data(), N};
}

StationFields fieldsOf(const PuestoBloquedos& record) {
    return {trimmed(view(record.Lc)), record.StationNumber, trimmed(view(record.ConnectionText)),
            trimmed(view(record.StationName)), record.Tally};
}

Event makeEvent(EventKind kind, WallClock::time_point time, std::int64_t rec = 0,
                std::optional<StationFields> fields = std::nullopt) {
    Event event;
    event.kind = kind;
    event.time = time;
    event.rec = rec;
    event.fields = std::move(fields);
    return event;
}

} // namespace

std::string_view eventName(EventKind kind) {
    switch (kind) {
    case EventKind::Connected:
        return "connected";
    case EventKind::Disconnected:
        return "disconnected";
    case EventKind::Outage:
        return "outage";
    case EventKind::Recovered:
        return "recovered";
    case EventKind::Flapping:
        return "flapping";
    case EventKind::FlappingEnded:
        return "flapping_ended";
    case EventKind::Changes:
        return "changes";
    case EventKind::Stopped:
        return "stopped";
    }
    return "";
}

std::u16string trimmed(std::u16string_view text) {
    const auto pad = [](char16_t c) { return c == u' ' || c == u'\0'; };
    while (!text.empty() && pad(text.back())) {
        text.remove_suffix(1);
    }
    while (!text.empty() && pad(text.front())) {
        text.remove_prefix(1);
    }
    return std::u16string(text);
}

std::size_t StationTracker::connectedCount() const {
    return static_cast<std::size_t>(std::count_if(stations_.begin(), stations_.end(),
                                                  [](const Station& s) { return s.connected; }));
}

Event StationTracker::sessionEnd(EventKind kind, std::size_t index, WallClock::time_point now,
                                 SteadyClock::time_point monotonic,
                                 std::optional<WallClock::time_point> after) {
    Station& s = stations_[index];
    Event event = makeEvent(kind, now, static_cast<std::int64_t>(index + 1), s.sessionFields);
    event.changedAfter = after;
    if (s.since && !after) {
        event.seconds = std::chrono::duration<double>(monotonic - *s.since).count();
    }
    s.connected = false;
    s.since.reset();
    s.sessionFields.reset();
    return event;
}

StationTracker::Update StationTracker::update(const StationReading& reading,
                                              WallClock::time_point now,
                                              SteadyClock::time_point monotonic) {
    Update update;
    update.recorded = foldFlapping(changes(reading, now, monotonic), now, monotonic);
    update.announced = announce(update.recorded, now);
    return update;
}

std::vector<Event> StationTracker::changes(const StationReading& reading, WallClock::time_point now,
                                           SteadyClock::time_point monotonic) {
    std::vector<Event> events;
    const auto& failure = reading.openFailure ? reading.openFailure : reading.failure;
    if (failure) {
        if (!std::exchange(outage_, true)) {
            Event event = makeEvent(EventKind::Outage, now);
            event.error = failure->text('-');
            events.push_back(std::move(event));
        }
        return events;
    }
    // After an outage a station found locked or unlocked came or left at some unseen instant
    // since the last good reading: its start or end is that interval, its length not measured.
    std::optional<WallClock::time_point> after;
    if (std::exchange(outage_, false)) {
        events.push_back(makeEvent(EventKind::Recovered, now));
        if (started_) {
            after = lastGood_;
        }
    }
    lastGood_ = now;
    const bool first = !std::exchange(started_, true);
    // Records that the file no longer has end their sessions as if unlocked.
    for (std::size_t i = reading.stations.size(); i < stations_.size(); ++i) {
        if (stations_[i].connected) {
            events.push_back(sessionEnd(EventKind::Disconnected, i, now, monotonic, after));
        }
    }
    stations_.resize(reading.stations.size());
    for (std::size_t i = 0; i < reading.stations.size(); ++i) {
        const PuestoBloquedos& record = reading.stations[i];
        Station& s = stations_[i];
        const bool locked = record.Connected != kFalse;
        if (!locked) {
            s.lastSeen = fieldsOf(record);
        }
        if (locked && !s.connected) {
            s.connected = true;
            ++s.connects;
            s.sessionFields = s.lastSeen;
            Event event =
                makeEvent(EventKind::Connected, now, static_cast<std::int64_t>(i + 1), s.lastSeen);
            event.atStart = first;
            event.changedAfter = after;
            if (!first && !after) {
                s.since = monotonic;
            }
            events.push_back(std::move(event));
        } else if (!locked && s.connected) {
            events.push_back(sessionEnd(EventKind::Disconnected, i, now, monotonic, after));
        }
    }
    return events;
}

Event StationTracker::periodEvent(EventKind kind, std::int64_t rec, const FlappingPeriod& period,
                                  WallClock::time_point now) const {
    const auto index = static_cast<std::size_t>(rec - 1);
    Event event = makeEvent(kind, now, rec,
                            index < stations_.size() ? stations_[index].lastSeen : std::nullopt);
    event.flappingSince = period.since;
    if (kind != EventKind::Flapping) {
        event.flappingUntil = kind == EventKind::FlappingEnded ? period.last : now;
        event.changes = period.changes;
    }
    return event;
}

std::vector<Event> StationTracker::foldFlapping(std::vector<Event> changes,
                                                WallClock::time_point now,
                                                SteadyClock::time_point monotonic) {
    std::vector<Event> recorded;
    recorded.reserve(changes.size());
    for (Event& e : changes) {
        const bool change =
            (e.kind == EventKind::Connected || e.kind == EventKind::Disconnected) && !e.atStart;
        if (!change) {
            recorded.push_back(std::move(e));
            continue;
        }
        Changing& c = changing_[e.rec];
        c.rule.add(monotonic);
        if (!c.period && !c.rule.flaps()) {
            recorded.push_back(std::move(e));
            continue;
        }
        if (!c.period) {
            c.period.emplace();
            c.period->since = e.time;
            ++flappingCount_;
            ++folded_.flappingPeriods;
            // A session never stays open across a period: one that ends now ends as it did, and
            // one that would begin now does not.
            if (e.kind == EventKind::Disconnected) {
                recorded.push_back(e);
            }
            recorded.push_back(periodEvent(EventKind::Flapping, e.rec, *c.period, e.time));
        }
        ++c.period->changes;
        ++folded_.flappingChanges;
        c.period->last = e.time;
        c.period->lastAfter = e.changedAfter;
        c.period->connected = e.kind == EventKind::Connected;
    }
    if (outage_) {
        return recorded;
    }
    for (auto it = changing_.begin(); it != changing_.end();) {
        const std::int64_t rec = it->first;
        Changing& c = it->second;
        const bool gone = static_cast<std::size_t>(rec) > stations_.size();
        if (c.period && (gone || c.rule.settled(monotonic))) {
            recorded.push_back(periodEvent(EventKind::FlappingEnded, rec, *c.period, now));
            // Its session began with its last change, which the tracker measures from.
            if (!gone && c.period->connected) {
                Event connected =
                    makeEvent(EventKind::Connected, c.period->last, rec,
                              stations_[static_cast<std::size_t>(rec - 1)].sessionFields);
                connected.changedAfter = c.period->lastAfter;
                recorded.push_back(std::move(connected));
            }
            c.period.reset();
            --flappingCount_;
        }
        if (!c.period && (gone || c.rule.stale(monotonic))) {
            it = changing_.erase(it);
        } else {
            ++it;
        }
    }
    return recorded;
}

std::vector<Event> StationTracker::announce(const std::vector<Event>& recorded,
                                            WallClock::time_point now) {
    Event burst = makeEvent(EventKind::Changes, now);
    ChangeCounts& counts = burst.counts;
    for (const Event& e : recorded) {
        counts.connected += e.kind == EventKind::Connected;
        counts.disconnected += e.kind == EventKind::Disconnected;
        counts.flapping += e.kind == EventKind::Flapping;
        counts.flappingEnded += e.kind == EventKind::FlappingEnded;
    }
    if (counts.total() <= kAnnouncedChanges) {
        return recorded;
    }
    ++folded_.bursts;
    folded_.burstChanges += counts.total();
    // One event where the first change was, after the recovery that may come first.
    std::vector<Event> announced;
    bool placed = false;
    for (const Event& e : recorded) {
        const bool station = e.kind == EventKind::Connected || e.kind == EventKind::Disconnected ||
                             e.kind == EventKind::Flapping || e.kind == EventKind::FlappingEnded;
        if (!station) {
            announced.push_back(e);
        } else if (!std::exchange(placed, true)) {
            announced.push_back(burst);
        }
    }
    return announced;
}

std::vector<Event> StationTracker::stopAll(WallClock::time_point now,
                                           SteadyClock::time_point monotonic) {
    std::vector<Event> events;
    for (const auto& [rec, c] : changing_) {
        if (c.period) {
            events.push_back(periodEvent(EventKind::Stopped, rec, *c.period, now));
        }
    }
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        const auto found = changing_.find(static_cast<std::int64_t>(i + 1));
        const bool flapping = found != changing_.end() && found->second.period;
        if (stations_[i].connected && !flapping) {
            events.push_back(sessionEnd(EventKind::Stopped, i, now, monotonic));
        }
    }
    changing_.clear();
    flappingCount_ = 0;
    return events;
}

} // namespace orvendal::station
