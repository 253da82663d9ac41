#include "englishwords.h"
#include "spanishlocale.h"
#include "stationctlrun.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
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
            EXPECT_EQ(run.out.rfind("Uso: stationctl " + command, 0), 0u) << run.out;
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
        {{}, "falta la orden"},
        {{"frobnicate"}, "orden desconocida \"frobnicate\""},
        {{"create"}, "falta FICHERO"},
        {{"create", dir.file("a"), dir.file("b")}, "sobra el argumento"},
        {{"create", dir.file("c"), "--stations", "many"}, "--stations debe ser un número entero"},
        {{"create", dir.file("c"), "--stations", "-1"}, "--stations debe ser"},
        {{"create", dir.file("c"), "--stations"}, "--stations necesita un valor"},
        {{"create", dir.file("c"), "--stations=2", "--stations=3"}, "--stations aparece dos veces"},
        {{"set", path, "1", "--header=yes", "--tally", "1"}, "--header no lleva valor"},
        {{"set", path, "1", "--colour", "red"}, "opción desconocida --colour"},
        {{"set"}, "faltan FICHERO y FILA (o --header)"},
        {{"connect", path}, "falta FILA"},
        {{"connect", path, "-1"}, "FILA debe ser"},
        {{"status"}, "falta FICHERO"},
        {{"status", path, "--xml"}, "opción desconocida --xml"},
        {{"where", path}, "sobra el argumento"},
        {{"simulate", path, "--seconds", "0"}, "--seconds debe ser"},
        {{"simulate", path, "--rate", "10"}, "--rate solo va con --churn"},
        {{"simulate", path, "--churn", "--rate", "0"}, "--rate debe ser"},
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

// What machines read stays as it is, also where a text quotes it: option names, JSON keys and
// values, CSV columns, connect's line, the plugin's status word and perfdata label.
std::string withoutMachineWords(std::string text) {
    static const std::regex machine(R"("[a-z_]+"|"connected FILA|connected=|\bUNKNOWN\b|)"
                                    R"(--[a-z][a-z-]*|\b[a-z]+(_[a-z]+)+\b)");
    return std::regex_replace(text, machine, "");
}

TEST(Cli, EveryHelpIsSpanish) {
    for (const std::string command :
         {"create", "set", "connect", "status", "where", "simulate", "watch", "check", "history"}) {
        const Outcome run = stationctl({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(firstEnglishWord(withoutMachineWords(run.out)), "") << run.out;
    }
    const Outcome overview = stationctl({"--help"});
    EXPECT_EQ(firstEnglishWord(overview.out), "") << overview.out;
}

// Every command's refusals in Spanish, whatever the user's locale. None of these shows an OS
// text, which follows the locale and is English under C.
TEST(Cli, RefusalsAreSpanishInEveryLocale) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 1);
    const auto db = dir.file("diario.db");
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"create", dir.file("c"), "--stations", "many"}, 2},
        {{"set", path, "1"}, 2},
        {{"set", path, "1", "--lc", "AB"}, 2},
        {{"connect", path}, 2},
        {{"status", path, "--xml"}, 2},
        {{"status", dir.file("falta.sit")}, 1},
        {{"where", path}, 2},
        {{"simulate", path, "--rate", "10"}, 2},
        {{"watch", path, "--journal", dir.file("o.prom"), "--prometheus", dir.file("o.prom")}, 2},
        {{"watch", path, "--interval", "5"}, 2},
        {{"check", path, "-w", "5:1"}, 3},
        {{"check", path, "-w", "1", "--warning", "2"}, 3},
        {{"check", dir.file("falta.sit")}, 3},
        {{"history", db, "--since", "ayer"}, 2},
        {{"history", db, "--at", "now", "--until", "2026-12-09"}, 2},
    };
    std::vector<std::string> locales{"C.UTF-8"};
    if (spanishLocaleInstalled()) {
        locales.emplace_back("es_ES.UTF-8");
    }
    for (const auto& locale : locales) {
        ::setenv("LC_ALL", locale.c_str(), 1);
        for (const auto& c : cases) {
            SCOPED_TRACE(locale + " " + testing::PrintToString(c.args));
            const Outcome run = stationctl(c.args);
            EXPECT_EQ(run.status, c.status) << run.out << run.err;
            std::string said = run.out + run.err;
            // The plugin's answer starts with its status word, which monitoring reads.
            if (c.status == 3) {
                ASSERT_EQ(said.rfind("ORVENDAL UNKNOWN - ", 0), 0u) << said;
                said.erase(0, 19);
            }
            for (std::size_t at; (at = said.find(dir.path().string())) != std::string::npos;) {
                said.erase(at, dir.path().string().size());
            }
            EXPECT_NE(said, "");
            EXPECT_EQ(firstEnglishWord(withoutMachineWords(said)), "") << said;
        }
    }
    ::unsetenv("LC_ALL");
    EXPECT_FALSE(std::filesystem::exists(db));
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
        {{"set", path, "1", "--name", "x\xC2\x9B"}, "\"\uFFFD\" no cabe"},
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
            EXPECT_TRUE(run.err.find("no un fichero normal") != std::string::npos ||
                        run.err.find("ya existe") != std::string::npos)
                << run.err;
        }
    }
}

// Its own words are Spanish; the OS's description follows the user's locale, as in the window.
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
