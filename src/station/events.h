#pragma once

#include "clocks.h"
#include "stationreader.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvendal::station {

// A station's stored fields, trimmed of their padding, as they read while its record was not
// locked.
struct StationFields {
    std::u16string lc;
    std::int32_t station = 0;
    std::u16string connection;
    std::u16string name;
    int tally = 0;

    bool operator==(const StationFields&) const = default;
};

enum class EventKind {
    Connected,
    Disconnected,
    Outage,
    Recovered,
    // The watcher ends while the station is still connected: closes its session, never printed.
    Stopped,
};

struct Event {
    EventKind kind = EventKind::Connected;
    WallClock::time_point time;
    // The row: the record number minus 1, as the monitor lists it.
    std::int64_t rec = 0;
    // The fields last read while the record was unlocked; none when the watcher never saw it so
    // (a connected record reads blank).
    std::optional<StationFields> fields;
    // Already connected when watching began: the session's real start is unknown.
    bool atStart = false;
    // The session's length on the monotonic clock; none for a session that began at_start, or
    // that ended unseen during an outage.
    std::optional<double> seconds;
    // A change found by the first good reading after an outage: it happened after this, the
    // last good reading before the outage, and before `time`.
    std::optional<WallClock::time_point> changedAfter;
    // "<number>-<description>" of an outage.
    std::string error;
};

std::string_view eventName(EventKind kind);

// `text` without the blanks and NULs that pad it to its stored width.
std::u16string trimmed(std::u16string_view text);

// Turns successive readings of the station file into connections, disconnections and outages. A
// reading that failed is an outage, never a run of disconnections: the stations' state is kept
// through it, and the first good reading after it compares with the last good one before.
class StationTracker {
public:
    struct Station {
        bool connected = false;
        std::optional<StationFields> lastSeen; // as read the last time it was unlocked
        std::optional<StationFields> sessionFields;
        std::optional<SteadyClock::time_point> since; // none when connected at start
        std::uint64_t connects = 0;
    };

    std::vector<Event> update(const StationReading& reading, WallClock::time_point now,
                              SteadyClock::time_point monotonic);
    // Every open session ended by the watcher's stop, as Stopped events.
    std::vector<Event> stopAll(WallClock::time_point now, SteadyClock::time_point monotonic);

    bool started() const { return started_; }
    bool inOutage() const { return outage_; }
    // Stations of the last good reading, row 1 first.
    const std::vector<Station>& stations() const { return stations_; }
    std::size_t connectedCount() const;

private:
    Event sessionEnd(EventKind kind, std::size_t index, WallClock::time_point now,
                     SteadyClock::time_point monotonic,
                     std::optional<WallClock::time_point> after = std::nullopt);

    std::vector<Station> stations_;
    bool started_ = false;
    bool outage_ = false;
    WallClock::time_point lastGood_;
};

} // namespace orvendal::station
