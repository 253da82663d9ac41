#include "spanishlocale.h"
#include "stationctlrun.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

using namespace orvendal::testing;

namespace {

const std::vector<std::string> kCommands = {"create", "set",   "connect",
                                            "status", "where", "simulate"};

TEST(Cli, EveryCommandHasHelp) {
    const Outcome overview = stationctl({"--help"});
    EXPECT_EQ(overview.status, 0);
    for (const auto& command : kCommands) {
        EXPECT_NE(overview.out.find("\n  " + command + " "), std::string::npos) << command;
        // Help wins over whatever else is wrong on the line.
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{command, "--help"}, {command, "-h", "--bogus"}}) {
            const Outcome run = stationctl(args);
            EXPECT_EQ(run.status, 0) << command;
            EXPECT_EQ(run.out.rfind("Usage: stationctl " + command, 0), 0u) << run.out;
            EXPECT_EQ(run.err, "") << command;
        }
    }
}

TEST(Cli, BadArgumentsAreRefusedClearly) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 1);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"create"}, "missing FILE"},
        {{"create", dir.file("a"), dir.file("b")}, "unexpected argument"},
        {{"create", dir.file("c"), "--stations", "many"}, "--stations must be a whole number"},
        {{"create", dir.file("c"), "--stations", "-1"}, "--stations must be"},
        {{"create", dir.file("c"), "--stations"}, "--stations needs a value"},
        {{"create", dir.file("c"), "--stations=2", "--stations=3"}, "--stations given twice"},
        {{"set", path, "1", "--header=yes", "--tally", "1"}, "--header takes no value"},
        {{"set", path, "1", "--colour", "red"}, "unknown option --colour"},
        {{"set"}, "missing FILE and ROW"},
        {{"connect", path}, "missing ROW"},
        {{"connect", path, "-1"}, "ROW must be"},
        {{"status"}, "missing FILE"},
        {{"status", path, "--xml"}, "unknown option --xml"},
        {{"where", path}, "unexpected argument"},
        {{"simulate", path, "--seconds", "0"}, "--seconds must be"},
        {{"simulate", path, "--rate", "10"}, "--rate is for --churn"},
        {{"simulate", path, "--churn", "--rate", "0"}, "--rate must be"},
        {{"history", dir.file("a"), "--at", "2026-02-31"}, "esa fecha u hora no existe"},
        {{"history", dir.file("a"), "--since", "2026-12-10", "--until", "2026-12-09 23:00"},
         "es posterior a --until"},
    };
    for (const auto& c : cases) {
        const Outcome run = stationctl(c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.message;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("c")));
}

// A password in an smb: address, however many slashes follow the colon, is refused before
// anything is read of the line and never repeated; an address that cannot be read is a usage
// error at start, never a watcher's outage.
TEST(Cli, SmbAddressesAreCheckedAtStartAndTheirPasswordsNeverRepeated) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 1);
    const auto journal = dir.file("journal.db");
    const std::vector<std::vector<std::string>> commands = {
        {"status", "URL"},
        {"check", "URL"},
        {"watch", "URL", "--journal", journal, "--interval", "10"},
        {"create", "URL"},
        {"set", "URL", "1", "--tally", "1"},
        {"connect", "URL", "1"},
        {"status", path, "--credentials=URL"},
    };
    const struct {
        std::string url;
        std::string message;
    } urls[] = {
        {"smb:///ana:s3cr3t@srv/d/MARLOVEN.SIT", "no puede llevar la contraseña"},
        {"SMB:ana:s3cr3t@srv/d/MARLOVEN.SIT", "no puede llevar la contraseña"},
        {"smb://DOM;ana:s3c/r3t@srv:445/d/MARLOVEN.SIT", "no puede llevar la contraseña"},
        {"smb:///srv/d/MARLOVEN.SIT", "falta el servidor"},
    };
    for (const auto& url : urls) {
        for (auto args : commands) {
            for (auto& arg : args) {
                if (const auto at = arg.find("URL"); at != std::string::npos) {
                    arg.replace(at, 3, url.url);
                }
            }
            if (args.back().starts_with("--credentials") && url.message == "falta el servidor") {
                continue; // not a station file: only a password is refused there
            }
            SCOPED_TRACE(testing::PrintToString(args));
            const Outcome run = stationctl(args);
            const bool plugin = args[0] == "check";
            EXPECT_EQ(run.status, plugin ? 3 : 2);
            const std::string said = plugin ? run.out : run.err;
            EXPECT_NE(said.find(url.message), std::string::npos) << said;
            if (plugin) {
                EXPECT_EQ(run.out.rfind("ORVENDAL UNKNOWN - ", 0), 0u) << run.out;
            } else {
                EXPECT_EQ(run.out, "");
            }
            for (const char* secret : {"s3c", "r3t"}) {
                EXPECT_EQ((run.out + run.err).find(secret), std::string::npos)
                    << run.out << run.err;
            }
            EXPECT_FALSE(std::filesystem::exists(journal)) << "the watcher started";
        }
    }
}

TEST(Cli, PathsAndTextsInMessagesReachTheTerminalWithoutControlCharacters) {
    TempDir dir;
    // A path that clears the screen and rings, and a command name that writes the clipboard.
    const std::string path = dir.file("a\x1b[2J\x07.sit");
    const struct {
        std::vector<std::string> args;
        std::string shown; // what the message shows of the path or name
    } cases[] = {
        {{"status", path}, "a\uFFFD[2J\uFFFD.sit"},
        {{"check", path}, "a\uFFFD[2J\uFFFD.sit"},
        {{"watch", path, "--journal", path + "/j.db"}, "a\uFFFD[2J\uFFFD.sit"},
        {{"history", path}, "a\uFFFD[2J\uFFFD.sit"},
        // A C1 control (CSI) that code page 1252 cannot store, quoted by the refusal.
        {{"set", path, "1", "--name", "x\xC2\x9B"}, "\"\uFFFD\" cannot be stored"},
        {{"\x1b]52;c;eA==\x07"}, "\uFFFD]52;c;eA==\uFFFD"},
    };
    for (const auto& c : cases) {
        const Outcome run = stationctl(c.args);
        EXPECT_NE(run.status, 0) << c.args[0];
        const std::string said = run.out + run.err;
        EXPECT_NE(said.find(c.shown), std::string::npos) << c.args[0] << ": " << said;
        for (const std::string raw : {"\x1b", "\x07", "\xC2\x9B"}) {
            EXPECT_EQ(said.find(raw), std::string::npos) << c.args[0] << ": " << said;
        }
    }
}

TEST(Cli, EveryCommandOnAFileRefusesAFolderAndAFifo) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("folder"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string name : {"folder", "fifo"}) {
        const auto path = dir.file(name);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"set", path, "1", "--tally", "1"},
              {"connect", path, "1"},
              {"status", path},
              {"simulate", path, "--seconds", "1"},
              {"create", path}}) {
            const Outcome run = stationctl(args);
            EXPECT_EQ(run.status, 1) << args[0] << " " << name;
            EXPECT_TRUE(run.err.find("not a regular file") != std::string::npos ||
                        run.err.find("exists already") != std::string::npos)
                << run.err;
        }
    }
}

// Its own words stay English; the OS's description follows the user's locale, as in the window.
TEST(Cli, OsErrorsReadInTheUsersLanguage) {
    if (!spanishLocaleInstalled()) {
        GTEST_SKIP() << kNoSpanishLocale;
    }
    TempDir dir;
    const std::string path = dir.file("missing/MARLOVEN.SIT");
    ::setenv("LC_ALL", "es_ES.UTF-8", 1);
    const Outcome run = stationctl({"create", path});
    ::unsetenv("LC_ALL");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "stationctl create: No existe el fichero o el directorio: " + path + " (error 2)\n");
}

} // namespace
