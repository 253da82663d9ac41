// Fuzzes the thresholds of check: an accepted range has numeric, ordered ends, and only the
// guidelines' open ends are infinite.
#include "fuzzcheck.h"
#include "thresholdrange.h"
#include "usageerror.h"

#include <cmath>
#include <cstdint>
#include <string>

namespace {

void check(bool condition, const char* what) {
    orvendal::testing::fuzzCheck(condition, what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvendal::stationctl;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Range range;
    try {
        range = parseRange(text);
    } catch (const orvendal::UsageError&) {
        return 0;
    }
    check(!std::isnan(range.low) && !std::isnan(range.high), "an end is not a number");
    check(range.low <= range.high, "the start is past the end");
    const std::string bare = range.inside ? text.substr(1) : text;
    check(std::isfinite(range.low) || bare.starts_with("~:"), "an infinite start not written ~");
    check(std::isfinite(range.high) || bare.ends_with(':'), "an infinite end that was written");
    return 0;
}
