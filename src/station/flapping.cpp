#include "flapping.h"

namespace orvendal::station {

static_assert(FlapRule::kSettledChanges < FlapRule::kChanges,
              "settling counts among the changes kept");

void FlapRule::add(SteadyClock::time_point at) {
    times_[next_] = at;
    next_ = static_cast<std::uint8_t>((next_ + 1) % kChanges);
    if (kept_ < kChanges) {
        ++kept_;
    }
}

const SteadyClock::time_point* FlapRule::before(std::size_t back) const {
    if (back >= kept_) {
        return nullptr;
    }
    return &times_[(next_ + kChanges - 1 - back) % kChanges];
}

bool FlapRule::flaps() const {
    const auto* oldest = before(kChanges - 1);
    return oldest && *before(0) - *oldest < kWithin;
}

bool FlapRule::settled(SteadyClock::time_point now) const {
    const auto* older = before(kSettledChanges);
    return !older || now - *older >= kSettledWithin;
}

bool FlapRule::stale(SteadyClock::time_point now) const {
    return kept_ == 0 || now - *before(0) >= kWithin;
}

} // namespace orvendal::station
