#pragma once

#include "stationctlrun.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace orvendal::testing {

using nlohmann::json;

// The sessions of `stationctl history ARGS... --json`.
inline json history(const std::vector<std::string>& args) {
    return historyJson(args)["sessions"];
}

// The rows of `sessions`, in order.
inline std::vector<int> recs(const json& sessions) {
    std::vector<int> found;
    for (const auto& s : sessions) {
        found.push_back(s["rec"]);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace orvendal::testing
