// Fuzzes the times a command line gives: whatever is accepted is a real instant, written back
// as it was read, and reads back to itself.
#include "error.h"
#include "fuzzcheck.h"
#include "timetext.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace {

using namespace orvendal;
using namespace orvendal::journal;

void check(bool condition, const char* what) {
    testing::fuzzCheck(condition, what);
}

// Whether the text names its UTC offset, as the only forms that do end with one.
bool hasOffset(std::string_view text) {
    return text.ends_with('Z') || text.find_first_of("+-", 10) != std::string_view::npos;
}

} // namespace

// A zone with summer time: its skipped and repeated hours are the hard cases.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("TZ", "Europe/Madrid", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    WallClock::time_point time;
    try {
        time = parseTime(text);
    } catch (const Error& e) {
        check(e.description().find("AAAA-MM-DD") != std::string::npos, "a refusal names no form");
        return 0;
    }
    if (text == "now") {
        return 0;
    }
    // Offsets are written in whole minutes, and Madrid's clocks were 14 min 44 s off UTC until
    // 1901: earlier times are written to the minute's precision only.
    if (text.compare(0, 4, "1902") < 0) {
        return 0;
    }
    const std::string iso = isoLocalTime(time);
    check(parseTime(iso) == time, "the written time reads back as another instant");
    if (!hasOffset(text)) {
        // A local time is shown as it was written: nothing rolled over into the next minute,
        // day or month.
        check(iso.compare(0, 10, text, 0, 10) == 0, "the date moved");
        if (text.size() >= 16) {
            check(iso.compare(11, 5, text, 11, 5) == 0, "the hour or minute moved");
        }
        if (text.size() >= 19) {
            check(iso.compare(17, 2, text, 17, 2) == 0, "the second moved");
        }
    }
    return 0;
}
