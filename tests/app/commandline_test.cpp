#include "commandline.h"

#include <gtest/gtest.h>

namespace orvendal::app {
namespace {

TEST(CommandLine, TakesAStationFileAndCredentials) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> credentials;
        std::optional<std::string> station;
        bool help;
    };
    const Case cases[] = {
        {{}, {}, {}, false},
        {{"/srv/MARLOVEN.SIT"}, {}, "/srv/MARLOVEN.SIT", false},
        {{"--credentials", "c", "smb://s/d/M.SIT"}, "c", "smb://s/d/M.SIT", false},
        {{"smb://s/d/M.SIT", "--credentials=c"}, "c", "smb://s/d/M.SIT", false},
        {{"--", "--odd-name"}, {}, "--odd-name", false},
        {{"-"}, {}, "-", false},
        {{"x", "--help"}, {}, "x", true},
        {{"-h"}, {}, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const CommandLine line = parseCommandLine(c.args);
        EXPECT_EQ(line.credentialsFile, c.credentials);
        EXPECT_EQ(line.stationFile, c.station);
        EXPECT_EQ(line.help, c.help);
    }
}

TEST(CommandLine, RefusesWhatItCannotTake) {
    const std::vector<std::vector<std::string>> cases = {
        {"a", "b"},         {"--credentials"},
        {"--credentials="}, {"--credentials", "a", "--credentials", "b"},
        {"--verbose"},      {""},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_THROW(parseCommandLine(args), UsageError);
    }
}

} // namespace
} // namespace orvendal::app
