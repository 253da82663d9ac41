#include "board.h"

#include "stationtexts.h"

namespace orvendal::web {
namespace {

bool sameFailure(const std::optional<Error>& a, const std::optional<Error>& b) {
    return a.has_value() == b.has_value() &&
           (!a || (a->code() == b->code() && a->description() == b->description()));
}

bool sameReading(const station::StationReading& a, const station::StationReading& b) {
    return a.tally == b.tally && a.records == b.records && a.fileName == b.fileName &&
           sameFailure(a.openFailure, b.openFailure) && sameFailure(a.failure, b.failure) &&
           a.stations == b.stations;
}

} // namespace

Board::Board(const watch::Clock& clock)
    : clock_(clock), current_(std::make_shared<const Snapshot>()) {}

void Board::update(const watch::WatchState& state) {
    const std::shared_ptr<const Snapshot> last = current();
    const bool refreshed = state.refreshed != last->refreshed;
    if (!refreshed && state.running == last->running && state.journalUp == last->journalUp) {
        return;
    }
    auto next = std::make_shared<Snapshot>(*last);
    ++next->published;
    if (refreshed) {
        ++next->refresh;
        next->refreshed = state.refreshed;
        next->refreshSeconds = state.refreshSeconds;
        if (next->refresh == 1) {
            next->started = state.refreshed;
        }
        if (!last->reading || !sameReading(*last->reading, state.reading)) {
            next->reading = std::make_shared<const station::StationReading>(state.reading);
        }
        if (!state.reading.outage()) {
            next->good = next->reading;
            next->outageSince.reset();
        } else if (!next->outageSince) {
            next->outageSince = state.refreshed;
        }
        next->lockMarker = ui::lockMarkerExists();
    }
    const station::StationTracker& tracker = state.tracker;
    // Without events a tracker changes only in what no page shows (the fields last read of
    // stations not connected), or by stations that appear or go with the file's length.
    if (state.changed || !last->tracker ||
        last->tracker->stations().size() != tracker.stations().size() ||
        last->tracker->inOutage() != tracker.inOutage()) {
        next->tracker = std::make_shared<const station::StationTracker>(tracker);
        auto since = std::make_shared<std::vector<std::optional<WallClock::time_point>>>();
        const auto wallNow = clock_.wall();
        const auto steadyNow = clock_.monotonic();
        for (const auto& station : tracker.stations()) {
            since->push_back(
                station.connected && station.since
                    ? std::optional(wallNow - std::chrono::duration_cast<WallClock::duration>(
                                                  steadyNow - *station.since))
                    : std::nullopt);
        }
        next->since = std::move(since);
    }
    next->journalUp = state.journalUp;
    next->running = state.running;
    if (next->reading != last->reading || next->tracker != last->tracker ||
        next->lockMarker != last->lockMarker || next->journalUp != last->journalUp ||
        next->running != last->running) {
        ++next->version;
    }
    {
        const std::lock_guard lock(mutex_);
        current_ = std::move(next);
    }
    published_.notify_all();
}

std::shared_ptr<const Snapshot> Board::current() const {
    const std::lock_guard lock(mutex_);
    return current_;
}

std::shared_ptr<const Snapshot> Board::next(std::uint64_t after,
                                            std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    published_.wait_for(lock, timeout, [&] { return closed_ || current_->published > after; });
    if (closed_ && (current_->running || current_->published <= after)) {
        return nullptr;
    }
    return current_;
}

void Board::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    published_.notify_all();
}

} // namespace orvendal::web
