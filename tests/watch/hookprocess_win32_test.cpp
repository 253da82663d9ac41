#include "hooks.h"
#include "windowsprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

// Hooks through the real cmd.exe (Wine's under the tests). Wine's cmd.exe expands %VAR% after it
// has parsed the line, unlike Windows', so it cannot show what the percent form would do; it does
// show that the documented !VAR! brings a hostile text whole and inert.
namespace orvendal::watch {
namespace {

using testing::TempFolder;

std::string contents(const std::string& path) {
    std::ifstream in(std::filesystem::path(testing::wide(path)), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(HookProcessOnWindows, AStationNameReadAsADelayedVariableArrivesWholeAndNeverRuns) {
    TempFolder scratch;
    const std::string pwned = scratch.file(L"pwned.txt");
    const std::vector<std::string> names = {
        "x & echo PWNED>\"" + pwned + "\"",
        "x | echo PWNED>\"" + pwned + "\" & rem",
        "x\" & echo PWNED>\"" + pwned + "\" & \"",
        // A caret in a value escapes nothing. (Wine's cmd.exe expands a !VAR! inside a value
        // again, as Windows' does not: values holding one are not compared here.)
        "x ^& echo PWNED>\"" + pwned + "\"",
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string seen = scratch.file(L"seen" + std::to_wstring(i) + L".txt");
        std::mutex lines;
        std::vector<std::string> reports;
        station::Event event;
        event.kind = station::EventKind::Connected;
        event.time = WallClock::now();
        event.rec = 1;
        event.fields = station::StationFields{u"A", 101, u"TERM1", fromUtf8(names[i]), 1};
        HookRunner hooks("echo [!ORVENDAL_NAME!]>\"" + seen + "\"", [&](const std::string& line) {
            const std::lock_guard lock(lines);
            reports.push_back(line);
        });
        hooks.post(event);
        // Returns once the hook has ended; the limit is only for a hook that never would.
        hooks.finish(std::chrono::seconds(60));
        const std::lock_guard lock(lines);
        EXPECT_TRUE(reports.empty()) << reports.front();
        EXPECT_EQ(contents(seen), "[" + names[i] + "]\r\n") << names[i];
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(testing::wide(pwned))))
            << "ran as a command: " << names[i];
    }
}

} // namespace
} // namespace orvendal::watch
