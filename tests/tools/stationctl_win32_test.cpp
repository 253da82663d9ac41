#include "windowsprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The real stationctl.exe, run in processes of its own as scripts and people run it. Its path
// and the lock holder's come from the environment (ORVENDAL_STATIONCTL, ORVENDAL_LOCK_HOLDER).
namespace orvendal::testing {
namespace {

std::wstring programFrom(const char* variable) {
    const char* path = std::getenv(variable);
    if (path == nullptr || *path == '\0') {
        throw std::runtime_error(std::string(variable) +
                                 " is not set: run the tests through ctest");
    }
    return wide(path);
}

struct Finished {
    DWORD status;
    std::string output; // standard output and error together, line breaks as written
};

Finished stationctl(const std::vector<std::string>& arguments) {
    ChildProcess process(programFrom("ORVENDAL_STATIONCTL"), arguments);
    auto [output, status] = process.finish();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return {status, output};
}

// Holds the record of `row` (record row + 1, at byte row * 81) locked with LockFileEx from another
// process, as a workstation does; answers "locked" or "refused".
std::string holdRow(std::unique_ptr<ChildProcess>& holder, const std::string& file, int row) {
    holder = std::make_unique<ChildProcess>(
        programFrom("ORVENDAL_LOCK_HOLDER"),
        std::vector<std::string>{file, std::to_string(row * 81), "81"});
    return holder->readLine();
}

class StationctlTest : public ::testing::Test {
protected:
    TempFolder scratch;
    // A folder name the ANSI code page cannot always hold: the command line must arrive whole.
    std::string folder = scratch.file(L"\u00C1rea \u00F1");
    std::string file = folder + "\\MARLOVEN.SIT";

    void SetUp() override { ASSERT_TRUE(::CreateDirectoryW(wide(folder).c_str(), nullptr)); }
};

TEST_F(StationctlTest, CreateSetAndStatus) {
    ASSERT_EQ(stationctl({"create", file, "--stations", "2"}).status, 0u);
    ASSERT_EQ(stationctl({"set", file, "1", "--name", "Peña €", "--station", "5", "--connection",
                          "10.0.0.1:9", "--tally", "3", "--lc", "A"})
                  .status,
              0u);
    ASSERT_EQ(stationctl({"set", file, "--header", "--tally", "2"}).status, 0u);

    const Finished json = stationctl({"status", file, "--json"});
    EXPECT_EQ(json.status, 0u) << json.output;
    EXPECT_EQ(json.output,
              "{\"tally\": 2, \"lock\": false, \"rows\": [{\"rec\": 1, \"lc\": \"A\", "
              "\"connected\": false, \"station\": 5, \"connection\": \"10.0.0.1:9" +
                  std::string(10, ' ') + "\", \"name\": \"Peña €" + std::string(44, ' ') +
                  "\", \"tally\": 3}, {\"rec\": 2, \"lc\": \" \", \"connected\": false, "
                  "\"station\": 0, \"connection\": \"" +
                  std::string(20, ' ') + "\", \"name\": \"" + std::string(50, ' ') +
                  "\", \"tally\": 0}], \"total\": 2}\n");

    const Finished table = stationctl({"status", file});
    EXPECT_EQ(table.status, 0u) << table.output;
    EXPECT_EQ(table.output.substr(0, table.output.find('\n')), "Conexiones activas: 2");
    EXPECT_NE(table.output.find("Peña €"), std::string::npos) << table.output;
}

TEST_F(StationctlTest, RefusesWhatIsNoStationFile) {
    ASSERT_EQ(stationctl({"create", file}).status, 0u);
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"create", file}, "ya existe; create nunca sustituye un fichero"},
        {{"status", folder + "\\missing.sit"}, "no existe"},
        {{"status", folder}, "es una carpeta, no un fichero normal"},
        {{"set", folder, "1", "--station", "2"}, "es una carpeta, no un fichero normal"},
        {{"status", "NUL"}, "no es un fichero normal: NUL (error 1002)"},
        {{"connect", "NUL", "1"}, "es un dispositivo, no un fichero normal"},
        {{"simulate", file}, "orden desconocida \"simulate\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        const Finished run = stationctl(c.arguments);
        EXPECT_NE(run.status, 0u);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
}

TEST_F(StationctlTest, WhereNamesTheFileBesideTheProgram) {
    std::string program = utf8(programFrom("ORVENDAL_STATIONCTL"));
    std::replace(program.begin(), program.end(), '/', '\\');
    const Finished run = stationctl({"where"});
    EXPECT_EQ(run.status, 0u);
    // The path, then on standard error its source: Windows reads no settings file.
    EXPECT_EQ(run.output,
              program.substr(0, program.rfind('\\')) + "\\MARLOVEN.SIT\n(junto al programa)\n");
}

TEST_F(StationctlTest, ConnectHoldsItsRowsUntilItsInputEnds) {
    ASSERT_EQ(stationctl({"create", file, "--stations", "4"}).status, 0u);
    auto connected = std::make_unique<ChildProcess>(
        programFrom("ORVENDAL_STATIONCTL"), std::vector<std::string>{"connect", file, "2", "4"});
    ASSERT_EQ(connected->readLine(), "connected 2 4");

    std::unique_ptr<ChildProcess> holder;
    EXPECT_EQ(holdRow(holder, file, 2), "refused");
    EXPECT_EQ(holdRow(holder, file, 4), "refused");
    EXPECT_EQ(holdRow(holder, file, 3), "locked");
    holder.reset();
    const Finished second = stationctl({"connect", file, "4"});
    EXPECT_EQ(second.status, 1u);
    EXPECT_NE(second.output.find("la fila 4 la tiene bloqueada otro proceso"), std::string::npos)
        << second.output;

    const auto [output, status] = connected->finish();
    EXPECT_EQ(status, 0u) << output;
    EXPECT_EQ(holdRow(holder, file, 2), "locked");
}

TEST_F(StationctlTest, ReadLocksAreShared) {
    ASSERT_EQ(stationctl({"create", file, "--stations", "2"}).status, 0u);
    const std::wstring program = programFrom("ORVENDAL_STATIONCTL");
    ChildProcess first(program, {"connect", file, "1", "--read"});
    ASSERT_EQ(first.readLine(), "connected 1");
    ChildProcess second(program, {"connect", file, "1", "--read"});
    EXPECT_EQ(second.readLine(), "connected 1");
    std::unique_ptr<ChildProcess> holder;
    EXPECT_EQ(holdRow(holder, file, 1), "refused");
}

} // namespace
} // namespace orvendal::testing
