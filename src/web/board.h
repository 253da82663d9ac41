#pragma once

#include "clock.h"
#include "watchstate.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace orvendal::web {

// What the watcher knew after one refresh, as the web side's threads read it: never changed once
// published, its large parts shared with the snapshots before it while they stay the same.
struct Snapshot {
    // Snapshots published before this one, and refreshes told so far (0 before the first).
    std::uint64_t published = 0;
    std::uint64_t refresh = 0;
    // Changes whenever anything the live page shows changes.
    std::uint64_t version = 0;
    // The last reading, a failed one included, and the last that read the file.
    std::shared_ptr<const station::StationReading> reading;
    std::shared_ptr<const station::StationReading> good;
    std::shared_ptr<const station::StationTracker> tracker;
    // For each station of `tracker`, when its connection began on the wall clock; none while it
    // is not connected, or when it was connected when watching began.
    std::shared_ptr<const std::vector<std::optional<WallClock::time_point>>> since;
    // Whether the marker file out.vrl was in the watcher's folder at the refresh.
    bool lockMarker = false;
    WallClock::time_point refreshed{};
    double refreshSeconds = 0;
    // The watcher's first refresh, and when the outage under way began.
    WallClock::time_point started{};
    std::optional<WallClock::time_point> outageSince;
    std::optional<bool> journalUp;
    bool running = true;
};

// The web side's state sink: after each refresh the watcher's thread publishes a snapshot here,
// copying only what changed, and wakes the live pages; it never waits for them. The web side's
// threads take the latest snapshot, or wait for the next.
class Board final : public watch::StateSink {
public:
    explicit Board(const watch::Clock& clock);

    void update(const watch::WatchState& state) override;
    void reopen() override {}

    std::shared_ptr<const Snapshot> current() const;
    // The latest snapshot once one is published after `after` (a Snapshot::published), waiting
    // up to `timeout` for it: the latest one then, new or not. Once closed, the watcher's last
    // snapshot (it stopped) if it is newer, else none.
    std::shared_ptr<const Snapshot> next(std::uint64_t after, std::chrono::milliseconds timeout);
    // Wakes every wait in next() for good.
    void close();

private:
    const watch::Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable published_;
    std::shared_ptr<const Snapshot> current_;
    bool closed_ = false;
};

} // namespace orvendal::web
