#pragma once

#include <limits>
#include <string>

namespace orvendal::stationctl {

// A threshold as the Monitoring Plugins guidelines write it: "10" (alert outside 0..10), "10:"
// (below 10), "~:10" (above 10), "10:20" (outside), "@10:20" (inside, ends included).
struct Range {
    std::string text;
    double low = 0;
    double high = std::numeric_limits<double>::infinity();
    bool inside = false;

    bool alerts(double value) const {
        const bool within = value >= low && value <= high;
        return inside ? within : !within;
    }
};

// Throws UsageError for any other text, and for a bound that is no finite number ("nan", "inf").
Range parseRange(const std::string& text);

} // namespace orvendal::stationctl
