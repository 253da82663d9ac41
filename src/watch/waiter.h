#pragma once

#include <chrono>

namespace orvendal::watch {

// The watcher's pause between two refreshes, and the requests that end it early: the console's
// stop signals, the Windows service's stop, or a test that steps the watcher.
class Waiter {
public:
    enum class Wake { Elapsed, Stop, Reopen };

    virtual ~Waiter() = default;

    // Waits up to `limit`; Stop once a stop was asked (and at every pause after it), Reopen when
    // the outputs are to be opened again (a log rotation moved them).
    virtual Wake pause(std::chrono::milliseconds limit) = 0;
    // Ends the pause under way, or the next one, as a stop. Safe from any thread, a console's or
    // a service's control handler included.
    virtual void requestStop() noexcept = 0;
};

} // namespace orvendal::watch
