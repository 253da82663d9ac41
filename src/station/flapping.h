#pragma once

#include "clocks.h"

#include <array>
#include <chrono>
#include <cstdint>

namespace orvendal::station {

// One station's last changes of state, and the rule that says when it flaps and when it has
// settled. A person takes seconds to log on or off, and a workstation that restarts its program
// now and then changes a few times a minute: a station flaps once it has changed 6 times within
// 15 s (three connections and disconnections, one every 3 s or faster). A station that changes
// at every refresh of 500 ms is caught at its sixth change, within 3 s, and one that changes as
// often as the rule lets it without flapping makes 20 changes a minute at most. It has settled
// once its last 60 s hold 2 changes or fewer: a station near the limit stays flapping rather than
// going in and out of it, and one left alone settles about a minute after its last burst.
class FlapRule {
public:
    static constexpr std::size_t kChanges = 6;
    static constexpr std::chrono::seconds kWithin{15};
    static constexpr std::size_t kSettledChanges = 2;
    static constexpr std::chrono::seconds kSettledWithin{60};

    void add(SteadyClock::time_point at);
    // Whether its last kChanges changes fell within kWithin.
    bool flaps() const;
    // Whether no more than kSettledChanges of its changes fell within kSettledWithin of `now`.
    bool settled(SteadyClock::time_point now) const;
    // Whether no change is recent enough to count towards flapping with one to come.
    bool stale(SteadyClock::time_point now) const;

private:
    // The change `back` changes before the last (0: the last); none past those kept.
    const SteadyClock::time_point* before(std::size_t back) const;

    std::array<SteadyClock::time_point, kChanges> times_{};
    std::uint8_t next_ = 0;
    std::uint8_t kept_ = 0;
};

} // namespace orvendal::station
