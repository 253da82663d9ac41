#pragma once

#include "clock.h"
#include "watchstate.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace orvendal::watch {

// The Prometheus textfile (--prometheus), written atomically after each refresh that brought
// events, at least every 15 s, when the journal's state changes, and at the stop, where it says
// the watcher stopped, with series of their own for the first `listedStations` stations. A failure
// is told once until a write succeeds again.
class Textfile final : public StateSink {
public:
    using Report = std::function<void(const std::string& line)>;

    Textfile(std::string path, std::string stationFile, std::uint64_t listedStations,
             const Clock& clock, Report report);

    void update(const WatchState& state) override;
    // Written again at the next update, wherever its folder's files went.
    void reopen() override { written_.reset(); }

private:
    bool due(const WatchState& state, SteadyClock::time_point now) const;
    void write(const WatchState& state, SteadyClock::time_point now);

    std::string path_;
    std::string stationFile_;
    std::uint64_t listedStations_;
    const Clock& clock_;
    Report report_;
    bool journalUp_ = true;
    std::optional<SteadyClock::time_point> written_;
    bool failing_ = false;
};

} // namespace orvendal::watch
