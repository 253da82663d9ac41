#pragma once

#include "timetext.h"

#include <chrono>
#include <string>
#include <vector>

namespace orvendal::testing {

// What history answers, on Linux and on Windows alike, after one watch that found record 2
// connected at its start and saw record 1 connect at `connected` and disconnect at
// `disconnected` (the events' times as watch printed them, in local time).
struct HistoryQuery {
    std::string what;
    std::vector<std::string> arguments; // after the journal's path
    std::vector<int> recs;              // the sessions' records, in order
};

inline std::vector<HistoryQuery> historyQueries(const std::string& connected,
                                                const std::string& disconnected) {
    // Read back through the local time zone and written again 1 ms later.
    const auto after = [](const std::string& time) {
        return journal::isoLocalTime(journal::parseTime(time) + std::chrono::milliseconds(1));
    };
    return {
        {"inside record 1's session", {"--at", after(connected)}, {1, 2}},
        {"after it", {"--at", after(disconnected)}, {2}},
        {"before the watcher began", {"--at", "2000-01-01 00:00"}, {}},
        {"a range before it", {"--since", "2000-01-01", "--until", "2000-01-02"}, {}},
        {"one station", {"--station", "101"}, {1}},
    };
}

} // namespace orvendal::testing
