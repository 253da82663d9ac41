#include "hooks.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace orvendal::watch {
namespace {

TEST(Hooks, PercentReferencesToOurVariablesAreFound) {
    const struct {
        const char* command;
        std::optional<std::string> reference;
    } cases[] = {
        {"echo %ORVENDAL_NAME%", "%ORVENDAL_NAME%"},
        {"echo %orvendal_Name%>x.txt", "%orvendal_Name%"},
        {"echo %ORVENDAL_NAME:~0,3%", "%ORVENDAL_NAME:~0,3%"},
        {"echo %ORVENDAL_CONNECTION:a=b% %ORVENDAL_NAME%", "%ORVENDAL_CONNECTION:a=b%"},
        {"echo %DATE% %ORVENDAL_EVENT%", "%ORVENDAL_EVENT%"},
        // CALL expands a second time, after the carets are gone.
        {"call echo %%^ORVENDAL_NAME%%", "%ORVENDAL_NAME%"},
        {"call echo %^ORVENDAL^_NAME%", "%ORVENDAL_NAME%"},
        {"echo !ORVENDAL_NAME! %DATE%", std::nullopt},
        {"echo 100% ORVENDAL_NAME%", std::nullopt},
        {"echo %ORVENDAL_NAME", std::nullopt},
        {"echo %ORVENDAL%", std::nullopt},
        {"echo %ÓRVENDAL_NAME%", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(percentReference(c.command), c.reference) << c.command;
    }
}

TEST(Hooks, CmdGetsDelayedExpansionAndTheCommandUntouched) {
    const std::string command = "echo !ORVENDAL_NAME!>\"C:\\out dir\\%x.txt\" & exit /b 3";
    EXPECT_EQ(cmdCommandLine("C:\\windows\\system32\\cmd.exe", command),
              "\"C:\\windows\\system32\\cmd.exe\" /V:ON /C " + command);
}

} // namespace
} // namespace orvendal::watch
