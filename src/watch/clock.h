#pragma once

#include "clocks.h"

namespace orvendal::watch {

// The watcher's two clocks: the wall clock for when things happened, the monotonic one for how
// long they took and when the next is due. A test drives them refresh by refresh.
class Clock {
public:
    virtual ~Clock() = default;
    virtual WallClock::time_point wall() const = 0;
    virtual SteadyClock::time_point monotonic() const = 0;
};

class SystemClock final : public Clock {
public:
    WallClock::time_point wall() const override { return WallClock::now(); }
    SteadyClock::time_point monotonic() const override { return SteadyClock::now(); }
};

} // namespace orvendal::watch
