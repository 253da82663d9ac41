#include "error.h"
#include "timetext.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace orvendal;
using namespace orvendal::journal;

namespace {

// Runs the test in a time zone with summer time, whatever the machine's.
class InMadrid : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) {
            saved_ = tz;
        }
        ::setenv("TZ", "Europe/Madrid", 1);
        ::tzset();
    }
    void TearDown() override {
        saved_.empty() ? ::unsetenv("TZ") : ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }
    std::string saved_;
};

TEST_F(InMadrid, InstantsReadAndWrittenWithTheirOffset) {
    struct Case {
        const char* text;
        const char* iso; // as the watcher writes the same instant
    };
    const Case cases[] = {
        {"2026-01-15T10:20:30.250+01:00", "2026-01-15T10:20:30.250+01:00"},
        {"2026-07-15T10:20:30.250+02:00", "2026-07-15T10:20:30.250+02:00"},
        {"2026-01-15T09:20:30.250Z", "2026-01-15T10:20:30.250+01:00"},
        {"2026-07-15T08:20:30Z", "2026-07-15T10:20:30.000+02:00"},
        {"2026-07-15T10:20:30-0300", "2026-07-15T15:20:30.000+02:00"},
        {"2026-01-15 10:20", "2026-01-15T10:20:00.000+01:00"},
        {"2026-07-15 10:20:30", "2026-07-15T10:20:30.000+02:00"},
        {"2026-07-15T10:20", "2026-07-15T10:20:00.000+02:00"},
        {"2026-03-29", "2026-03-29T00:00:00.000+01:00"},
        // The first local minute of summer time, and the last of it.
        {"2026-03-29 03:00", "2026-03-29T03:00:00.000+02:00"},
        {"2026-10-25T00:59:59.999Z", "2026-10-25T02:59:59.999+02:00"},
        {"2026-10-25T01:00:00Z", "2026-10-25T02:00:00.000+01:00"},
        {"1969-12-31T23:59:59.500Z", "1970-01-01T00:59:59.500+01:00"},
        {"2024-02-29T12:00:00,25-03", "2024-02-29T16:00:00.250+01:00"},
        {"2026-01-15T10:20:30.2509+0100", "2026-01-15T10:20:30.250+01:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isoLocalTime(parseTime(c.text)), c.iso) << c.text;
        EXPECT_EQ(parseTime(c.iso), parseTime(c.text)) << c.text;
    }
}

TEST_F(InMadrid, AnythingElseIsRefusedWithTheFormsNamed) {
    for (const char* text : {
             "",
             "yesterday",
             "Now",
             "2026-13-01",
             "2026-01-15T25:00",
             "2026-01-15 10",
             "2026-01-15T10:20+1",
             "2026-01-15T10:20:30.",
             "15/01/2026 10:20",
             "2026-01-15T10:20:30Zjunk",
             "2026-1-15",
             "+2026-01-15",
             "2026-01-15Z",
             // Days and times that do not exist, never rolled over into the next.
             "2026-02-31",
             "2025-02-29",
             "2026-04-31",
             "2026-12-09T24:00",
             "2026-12-09T10:60",
             "2026-12-09T10:13:60",
             "2026-12-09T10:13:-5",
             "2026-12-09T-1:13",
             "2026-12-09T10:13:00+24:00",
             "2026-12-09T10:13:00+01:60",
             // Past what the clock counts (its nanoseconds overflowed).
             "0226-12-09T08:30:15Z",
             "9999-01-01",
             // Skipped by the clocks when summer time starts in Madrid.
             "2026-03-29 02:30",
         }) {
        try {
            parseTime(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const Error& e) {
            EXPECT_NE(e.description().find("AAAA-MM-DDTHH:MM"), std::string::npos)
                << e.description();
        }
    }
}

} // namespace
