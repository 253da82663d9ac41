#pragma once

#include "stationctlrun.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvendal::testing {

using nlohmann::json;

// A watcher's next event, parsed; fails the test when none comes in time.
inline json nextEvent(Stationctl& watch,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto line = watch.readLineWithin(limit);
    if (!line) {
        throw std::runtime_error("no event from watch within the limit");
    }
    return json::parse(*line);
}

// Holds rows locked in another process, as a connected workstation does.
struct Holding {
    Stationctl process;
    Holding(const std::string& path, const std::vector<std::string>& rows)
        : process([&] {
              std::vector<std::string> args{"connect", path};
              args.insert(args.end(), rows.begin(), rows.end());
              return args;
          }()) {
        if (process.readLine().rfind("connected", 0) != 0) {
            throw std::runtime_error("connect failed");
        }
    }
    void release() { process.finish(); }
};

inline json history(const std::vector<std::string>& args) {
    std::vector<std::string> all{"history"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("--json");
    const Outcome run = stationctl(all);
    if (run.status != 0) {
        throw std::runtime_error("history failed: " + run.err);
    }
    return json::parse(run.out);
}

inline std::vector<int> recs(const json& sessions) {
    std::vector<int> found;
    for (const auto& s : sessions) {
        found.push_back(s["rec"]);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace orvendal::testing
