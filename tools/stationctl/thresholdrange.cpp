#include "thresholdrange.h"

#include "arguments.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace orvendal::stationctl {
namespace {

double rangeNumber(std::string_view text, std::string_view whole) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw UsageError("umbral no válido \"" + std::string(whole) + "\"");
    }
    // from_chars also reads "nan" and "inf": no count of stations compares with them as meant.
    if (!std::isfinite(value)) {
        throw UsageError("umbral no válido \"" + std::string(whole) + "\": " + std::string(text) +
                         " no es un número finito");
    }
    return value;
}

} // namespace

Range parseRange(const std::string& text) {
    Range range{text};
    std::string_view rest = text;
    if (rest.starts_with('@')) {
        range.inside = true;
        rest.remove_prefix(1);
    }
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos) {
        range.high = rangeNumber(rest, text);
    } else {
        const std::string_view low = rest.substr(0, colon);
        const std::string_view high = rest.substr(colon + 1);
        range.low = low == "~" ? -std::numeric_limits<double>::infinity() : rangeNumber(low, text);
        if (!high.empty()) {
            range.high = rangeNumber(high, text);
        }
    }
    if (range.low > range.high) {
        throw UsageError("umbral no válido \"" + text + "\": su inicio pasa de su final");
    }
    return range;
}

} // namespace orvendal::stationctl
