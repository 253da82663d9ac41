#pragma once

#include "clock.h"
#include "lockholder.h"
#include "waiter.h"
#include "watcher.h"

#include <chrono>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace orvendal::testing {

// The watcher's clocks and pauses in a test's hands: each pause moves both clocks on by `step`
// and runs the test's next step; when none is left, the watcher stops. The watcher then runs on
// the test's thread refresh by refresh, and never sleeps.
class DrivenClock final : public watch::Clock, public watch::Waiter {
public:
    explicit DrivenClock(std::chrono::milliseconds step = std::chrono::milliseconds(500))
        : step_(step) {}

    WallClock::time_point wall() const override { return wall_; }
    SteadyClock::time_point monotonic() const override { return monotonic_; }
    Wake pause(std::chrono::milliseconds) override {
        advance(step_);
        if (stopped_ || steps_.empty()) {
            return Wake::Stop;
        }
        const auto next = std::move(steps_.front());
        steps_.pop_front();
        return next();
    }
    void requestStop() noexcept override { stopped_ = true; }

    // The next pause runs `step`, and the refresh after it comes.
    void then(std::function<void()> step) {
        steps_.push_back([step = std::move(step)] {
            step();
            return Wake::Elapsed;
        });
    }
    // The next pause ends as `wake` says.
    void then(Wake wake) {
        steps_.push_back([wake] { return wake; });
    }
    void advance(std::chrono::milliseconds by) {
        wall_ += by;
        monotonic_ += by;
    }
    // The system's time set back or forth: the wall clock alone moves.
    void setWallBy(std::chrono::milliseconds by) { wall_ += by; }

private:
    std::chrono::milliseconds step_;
    // Whole milliseconds, as the journal keeps them.
    WallClock::time_point wall_ = std::chrono::floor<std::chrono::milliseconds>(WallClock::now());
    SteadyClock::time_point monotonic_{std::chrono::hours(1000)};
    std::deque<std::function<Wake()>> steps_;
    bool stopped_ = false;
};

// What a watcher handed to its sinks, kept for the test to read.
class Recorded final : public watch::StateSink {
public:
    watch::Sinks sinks() {
        watch::Sinks sinks;
        sinks.report = [this](const std::string& line) {
            const std::lock_guard lock(mutex_);
            reports_.push_back(line);
        };
        sinks.events = [this](const std::vector<station::Event>& events) {
            all.insert(all.end(), events.begin(), events.end());
            fresh_.insert(fresh_.end(), events.begin(), events.end());
        };
        sinks.states = {this};
        return sinks;
    }
    void update(const watch::WatchState& state) override { states.push_back(state); }
    void reopen() override {}

    // The events since the last call.
    std::vector<station::Event> take() { return std::exchange(fresh_, {}); }
    // The report lines so far, the hooks' included.
    std::vector<std::string> reports() {
        const std::lock_guard lock(mutex_);
        return reports_;
    }
    // How many report lines hold `text`.
    std::size_t reported(const std::string& text) {
        std::size_t count = 0;
        for (const std::string& line : reports()) {
            count += line.find(text) != std::string::npos;
        }
        return count;
    }

    std::vector<station::Event> all;
    std::vector<watch::WatchState> states;

private:
    std::mutex mutex_;
    std::vector<std::string> reports_;
    std::vector<station::Event> fresh_;
};

inline std::vector<station::EventKind> kinds(const std::vector<station::Event>& events) {
    std::vector<station::EventKind> found;
    for (const station::Event& e : events) {
        found.push_back(e.kind);
    }
    return found;
}

// The records of station rows, for a LockHolder to lock as connected workstations do.
inline std::vector<LockHolder::Range> rows(std::initializer_list<int> numbers) {
    std::vector<LockHolder::Range> ranges;
    for (const int row : numbers) {
        ranges.push_back({static_cast<std::uint64_t>(row) * 81, 81});
    }
    return ranges;
}

// A watcher's options for `stationFile`. The interval only bounds the wait for a reading here:
// the driven clock says when the next refresh comes.
inline watch::Options watchOptions(const std::string& stationFile) {
    watch::Options options;
    options.stationFile = stationFile;
    options.interval = std::chrono::seconds(60);
    return options;
}

} // namespace orvendal::testing
