#pragma once

#include "clocks.h"
#include "events.h"
#include "stationreader.h"

#include <optional>

namespace orvendal::watch {

// What the watcher knows after a refresh: plain values, so that a sink that serves them from
// other threads copies them under its own lock and lets the watcher go on.
struct WatchState {
    // The last reading that ended, the failed ones included.
    station::StationReading reading;
    station::StationTracker tracker;
    // When the last refresh ended; the epoch before the first.
    WallClock::time_point refreshed{};
    // How long the last refresh the watcher waited for took, in seconds.
    double refreshSeconds = 0;
    // Whether the refresh just told brought events; false between refreshes.
    bool changed = false;
    // Whether the journal has committed everything; none for a watcher without one.
    std::optional<bool> journalUp;
    // False once, at the stop.
    bool running = true;
};

// A sink of the watcher's state: told after every refresh, at every pass of the loop between
// refreshes, and at the stop (running false), on the watcher's thread.
class StateSink {
public:
    virtual ~StateSink() = default;
    virtual void update(const WatchState& state) = 0;
    // The outputs may have been moved away (a log rotation): the next update writes them anew.
    virtual void reopen() = 0;
};

} // namespace orvendal::watch
