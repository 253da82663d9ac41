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

std::vector<Event> StationTracker::update(const StationReading& reading, WallClock::time_point now,
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

std::vector<Event> StationTracker::stopAll(WallClock::time_point now,
                                           SteadyClock::time_point monotonic) {
    std::vector<Event> events;
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        if (stations_[i].connected) {
            events.push_back(sessionEnd(EventKind::Stopped, i, now, monotonic));
        }
    }
    return events;
}

} // namespace orvendal::station
