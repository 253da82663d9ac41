#pragma once

#include "waiter.h"

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

namespace orvendal::watch {

// The requests to stop (SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl+C, Ctrl+Break and closing the
// console on Windows) as events to wait for instead of deaths, so that a command that holds
// locks or writes a file always finishes what it does and reports before it ends. The watcher
// pauses on them between refreshes.
class StopSignals final : public Waiter {
public:
    // What SIGHUP asks: a stop, as for a command run from a terminal that closes, or, for a
    // service, to reopen its files as daemons do after a log rotation.
    enum class Hangup { Stops, Reopens };

    explicit StopSignals(Hangup hangup = Hangup::Stops);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits up to `timeout` (for ever without one) and returns true when a stop signal came, or,
    // with `watchInput`, when standard input reached its end. Input read meanwhile is discarded.
    bool wait(std::optional<std::chrono::milliseconds> timeout, bool watchInput = false);

    bool stopped() const { return stopped_; }
    // With Hangup::Reopens, whether a SIGHUP came since the last call; wait() returns early for
    // one. Never on Windows, which has no such request.
    bool takeReopen() { return std::exchange(reopen_, false); }

    Wake pause(std::chrono::milliseconds limit) override {
        wait(limit);
        return stopped_ ? Wake::Stop : takeReopen() ? Wake::Reopen : Wake::Elapsed;
    }
    // As a stop signal would: the next wait() returns true.
    void requestStop() noexcept override;

private:
    struct Watch; // what the OS needs to catch the requests
    std::unique_ptr<Watch> watch_;
    bool stopped_ = false;
    bool reopen_ = false;
};

} // namespace orvendal::watch
