#pragma once

#include "clock.h"
#include "events.h"
#include "waiter.h"
#include "watchoptions.h"
#include "watchstate.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvendal::watch {

// Where the watcher's outputs go besides its journal, textfile and hooks.
struct Sinks {
    // Lines for a person, in Spanish and not escaped: an output that fails or works again, what
    // retention deleted, hooks that failed or were dropped. Required; called from the hooks'
    // threads too.
    std::function<void(const std::string& line)> report;
    // Each refresh's events once the journal has them, after the state sinks; at the stop the
    // sessions it closes (Stopped events, possibly none).
    std::function<void(const std::vector<station::Event>& events)> events;
    // Told the state after the textfile, which comes first.
    std::vector<StateSink*> states;
};

// The headless watcher: refreshes the station file every interval on the refresh driver, turns
// the readings into events, and hands them to the journal, the state sinks (the textfile first),
// the events sink and the hooks, in that order, so that whoever reads an event finds the journal
// and the metrics up to date. An output that fails is told and retried; the others go on.
class Watcher {
public:
    // Refuses what checkStart() refuses; opens the journal (Error when another watcher holds it or
    // a link stands in its place) and deletes what retention drops.
    Watcher(Options options, Sinks sinks, const Clock& clock, Waiter& waiter);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Refreshes until a stop, then closes the sessions still open; the exit status.
    int run();
    // Ends run() after the refresh under way. Safe from any thread.
    void stop() noexcept;

private:
    struct Outputs;
    void handle(station::StationReading reading);
    void tellLockTable(const station::StationReading& reading);
    void tellStates();
    void reportFolded(bool atStop);
    void pruneJournal();
    void finish();

    Options options_;
    Sinks sinks_;
    const Clock& clock_;
    Waiter& waiter_;
    std::unique_ptr<Outputs> outputs_;
    WatchState state_;
    std::atomic<bool> stopping_ = false;
    // The last read of the kernel's table of locks was given up; told once, and once when one
    // works again.
    bool lockTableGivenUp_ = false;
};

} // namespace orvendal::watch
