#pragma once

#include "clocks.h"
#include "flapping.h"
#include "stationreader.h"

#include <chrono>
#include <cstdint>
#include <map>
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
    // A station began to flap (FlapRule): its changes are folded into one flapping period, no
    // session while it lasts.
    Flapping,
    // A flapping station settled: its period ended at its last change.
    FlappingEnded,
    // Too many station changes in one refresh, announced as one event with their counts.
    Changes,
    // The watcher ends while the station is still connected or flapping: closes its session or
    // its flapping period, never printed.
    Stopped,
};

// How many changes of each kind a Changes event stands for.
struct ChangeCounts {
    std::uint64_t connected = 0;
    std::uint64_t disconnected = 0;
    std::uint64_t flapping = 0;
    std::uint64_t flappingEnded = 0;

    std::uint64_t total() const { return connected + disconnected + flapping + flappingEnded; }
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
    // Of a flapping period (Flapping, FlappingEnded, and a Stopped that ends one): when it began.
    std::optional<WallClock::time_point> flappingSince;
    // FlappingEnded: where its period ended, its last change; a Stopped ends one at its time.
    std::optional<WallClock::time_point> flappingUntil;
    // FlappingEnded, Stopped: the changes in the period, the first one included; none when not
    // known (a journal begun anew while it lasted).
    std::optional<std::uint64_t> changes;
    ChangeCounts counts;
};

std::string_view eventName(EventKind kind);

// `text` without the blanks and NULs that pad it to its stored width.
std::u16string trimmed(std::u16string_view text);

// A flapping station's period so far. Declared outside StationTracker: nested in it, clang cannot
// make one in an std::optional, since its defaults are not known until the tracker is complete.
struct FlappingPeriod {
    WallClock::time_point since;
    std::uint64_t changes = 0;
    // Its last change, and whether it was a connection (during an outage: after when).
    WallClock::time_point last;
    std::optional<WallClock::time_point> lastAfter;
    bool connected = false;
};

// Turns successive readings of the station file into connections, disconnections and outages. A
// reading that failed is an outage, never a run of disconnections: the stations' state is kept
// through it, and the first good reading after it compares with the last good one before.
// What it records and announces is folded, so that a flood costs a bounded amount; its stations'
// states stay as each reading found them.
class StationTracker {
public:
    // Station changes of one refresh past which they are announced as one Changes event. The
    // hooks wait 64 at most beyond the 4 running (kHooksWaiting), so more would be dropped
    // anyway; and thousands of lines a refresh would pass journald's rate limit. Even a room
    // whose workstations all come back after a power cut seldom makes 64 changes in 500 ms.
    static constexpr std::size_t kAnnouncedChanges = 64;

    // What a refresh brings. `recorded`, for the journal: every change, but those of a flapping
    // station folded into its period (a Flapping event when it begins; when it settles, a
    // FlappingEnded and, if it is connected then, the Connected event of its last change, which
    // begins a session). `announced`, for the events' lines, the hooks and the Event Log:
    // `recorded`, with more than kAnnouncedChanges station changes as one Changes event.
    struct Update {
        std::vector<Event> recorded;
        std::vector<Event> announced;
    };

    // What was folded since the tracker began.
    struct Folded {
        std::uint64_t flappingPeriods = 0;
        // Changes within flapping periods.
        std::uint64_t flappingChanges = 0;
        // Refreshes announced as one Changes event, and the changes they stood for.
        std::uint64_t bursts = 0;
        std::uint64_t burstChanges = 0;
    };

    struct Station {
        bool connected = false;
        std::optional<StationFields> lastSeen; // as read the last time it was unlocked
        std::optional<StationFields> sessionFields;
        std::optional<SteadyClock::time_point> since; // none when connected at start
        std::uint64_t connects = 0;
    };

    Update update(const StationReading& reading, WallClock::time_point now,
                  SteadyClock::time_point monotonic);
    // Every open session and flapping period ended by the watcher's stop, as Stopped events.
    std::vector<Event> stopAll(WallClock::time_point now, SteadyClock::time_point monotonic);

    bool started() const { return started_; }
    bool inOutage() const { return outage_; }
    // Stations of the last good reading, row 1 first.
    const std::vector<Station>& stations() const { return stations_; }
    std::size_t connectedCount() const;
    std::size_t flappingCount() const { return flappingCount_; }
    const Folded& folded() const { return folded_; }

private:
    // A station that changed lately: its changes for the rule, and its period while it flaps.
    struct Changing {
        FlapRule rule;
        std::optional<FlappingPeriod> period;
    };

    // Connections, disconnections and outages, as the reading shows them.
    std::vector<Event> changes(const StationReading& reading, WallClock::time_point now,
                               SteadyClock::time_point monotonic);
    // `changes` with those of flapping stations folded, and the periods that settled ended.
    std::vector<Event> foldFlapping(std::vector<Event> changes, WallClock::time_point now,
                                    SteadyClock::time_point monotonic);
    std::vector<Event> announce(const std::vector<Event>& recorded, WallClock::time_point now);
    Event sessionEnd(EventKind kind, std::size_t index, WallClock::time_point now,
                     SteadyClock::time_point monotonic,
                     std::optional<WallClock::time_point> after = std::nullopt);
    Event periodEvent(EventKind kind, std::int64_t rec, const FlappingPeriod& period,
                      WallClock::time_point now) const;

    std::vector<Station> stations_;
    // By row; only stations that changed within FlapRule's window, or flap.
    std::map<std::int64_t, Changing> changing_;
    std::size_t flappingCount_ = 0;
    Folded folded_;
    bool started_ = false;
    bool outage_ = false;
    WallClock::time_point lastGood_;
};

} // namespace orvendal::station
