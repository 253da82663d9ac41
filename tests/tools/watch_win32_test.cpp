#include "windowsprocess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// watch and check in stationctl.exe, run as processes of their own.
namespace orvendal::testing {
namespace {

std::wstring stationctlPath() {
    const char* path = std::getenv("ORVENDAL_STATIONCTL");
    if (path == nullptr || *path == '\0') {
        throw std::runtime_error("ORVENDAL_STATIONCTL is not set: run the tests through ctest");
    }
    return wide(path);
}

std::pair<std::string, DWORD> run(const std::vector<std::string>& arguments) {
    return ChildProcess(stationctlPath(), arguments).finish();
}

std::string contents(const std::string& path) {
    std::ifstream in(std::filesystem::path(wide(path)));
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(WatchOnWindows, CheckAnswersAsAPlugin) {
    TempFolder scratch;
    const std::string file = scratch.file(L"MARLOVEN.SIT");
    ASSERT_EQ(run({"create", file, "--stations", "3"}).second, 0u);
    const auto ok = run({"check", file, "-w", "2"});
    EXPECT_EQ(ok.second, 0u);
    EXPECT_EQ(ok.first, "ORVENDAL OK - 0 de 3 estaciones conectadas | connected=0;2;;0;3\r\n");
    EXPECT_EQ(run({"check", file, "-c", "@0:0"}).second, 2u);
    EXPECT_EQ(run({"check", scratch.file(L"missing.sit")}).second, 3u);
    EXPECT_EQ(run({"check", utf8(scratch.path())}).second, 3u);
}

TEST(WatchOnWindows, OutagesHooksAndTheTextfile) {
    TempFolder scratch;
    const std::string file = scratch.file(L"MARLOVEN.SIT");
    const std::string away = scratch.file(L"away.sit");
    const std::string prom = scratch.file(L"orvendal.prom");
    ASSERT_EQ(run({"create", file, "--stations", "2"}).second, 0u);

    // Ended by the test's end: a watcher stops only on a console's stop request.
    ChildProcess watch(stationctlPath(),
                       {"watch", file, "--interval", "50", "--prometheus", prom, "--on-change",
                        // A file per event: hooks run side by side, and cmd.exe cannot share one.
                        "echo !ORVENDAL_EVENT! !ORVENDAL_TIME!>\"" + utf8(scratch.path()) +
                            "\\!ORVENDAL_EVENT!.txt\""});
    // Generous: a process starts slowly under Wine on a busy machine.
    for (int i = 0; i < 400 && contents(prom).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Every series names its station file, each backslash of the path doubled.
    std::string label = "{file=\"";
    for (const char c : file) {
        label += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    label += "\"} ";
    EXPECT_NE(contents(prom).find("\norvendal_up" + label + "1\n"), std::string::npos)
        << contents(prom);
    EXPECT_NE(contents(prom).find("\norvendal_stations" + label + "2\n"), std::string::npos);

    ASSERT_TRUE(::MoveFileW(wide(file).c_str(), wide(away).c_str()));
    const std::string outage = watch.readLine();
    EXPECT_EQ(outage.rfind("{\"time\": \"", 0), 0u) << outage;
    EXPECT_NE(outage.find("\"event\": \"outage\", \"error\": \"2-"), std::string::npos) << outage;
    EXPECT_NE(contents(prom).find("\norvendal_up" + label + "0\n"), std::string::npos)
        << contents(prom);
    ASSERT_TRUE(::MoveFileW(wide(away).c_str(), wide(file).c_str()));
    EXPECT_NE(watch.readLine().find("\"event\": \"recovered\"}"), std::string::npos);
    const std::string outages = scratch.file(L"outage.txt");
    const std::string recovered = scratch.file(L"recovered.txt");
    for (int i = 0; i < 400 && (contents(outages).empty() || contents(recovered).empty()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(contents(outages).rfind("outage 20", 0), 0u) << contents(outages);
    EXPECT_EQ(contents(recovered).rfind("recovered 20", 0), 0u) << contents(recovered);
}

TEST(WatchOnWindows, ATextfileThatIsTheStationFileIsRefused) {
    TempFolder scratch;
    const std::string file = scratch.file(L"MARLOVEN.SIT");
    const std::string hard = scratch.file(L"hard.SIT");
    ASSERT_EQ(run({"create", file, "--stations", "2"}).second, 0u);
    ASSERT_TRUE(::CreateHardLinkW(wide(hard).c_str(), wide(file).c_str(), nullptr));
    const std::string before = contents(file);
    // The file itself, another spelling of its path, and a hard link to it.
    for (const std::string& prom : {file, utf8(scratch.path()) + "/./marloven.sit", hard}) {
        const auto refused = run({"watch", file, "--prometheus", prom});
        EXPECT_EQ(refused.second, 2u) << prom << ": " << refused.first;
        EXPECT_NE(refused.first.find("nunca escribe"), std::string::npos) << refused.first;
        EXPECT_EQ(contents(file), before) << prom;
    }
}

// cmd.exe expands %VAR% before it parses & | < >: a hook that reads a station's text so would run
// it. Refused before the watcher starts, with the way that is safe.
TEST(WatchOnWindows, HooksThatReadOurVariablesBetweenPercentSignsAreRefused) {
    TempFolder scratch;
    const std::string file = scratch.file(L"MARLOVEN.SIT");
    ASSERT_EQ(run({"create", file, "--stations", "1"}).second, 0u);
    const struct {
        std::string hook;
        std::string advice;
    } cases[] = {
        {"echo %ORVENDAL_NAME%", "Escriba !ORVENDAL_NAME!"},
        {"echo %orvendal_Connection:~0,3%>x.txt", "Escriba !orvendal_Connection!"},
        {"call echo %%^ORVENDAL_NAME%%", "Escriba !ORVENDAL_NAME!"},
    };
    for (const auto& c : cases) {
        const auto refused = run({"watch", file, "--on-change", c.hook});
        EXPECT_EQ(refused.second, 2u) << c.hook;
        EXPECT_NE(refused.first.find(c.advice), std::string::npos) << refused.first;
        EXPECT_NE(refused.first.find("cmd.exe /V:ON"), std::string::npos) << refused.first;
    }
}

} // namespace
} // namespace orvendal::testing
