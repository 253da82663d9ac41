// The program itself on bad command lines, without any display: the usage and status 2, before Qt
// would look for one, and every word of it Spanish.
#include "englishwords.h"
#include "spanishlocale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace orvendal {
namespace {

struct Outcome {
    int status = -1; // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    return text;
}

// Runs orvendal with `args` and no display of any kind, in the locale `locale`.
Outcome orvendal(const std::vector<std::string>& args, const char* locale) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        ::unsetenv(variable);
    }
    ::setenv("LC_ALL", locale, 1);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(ORVENDAL_PROGRAM)};
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, ORVENDAL_PROGRAM, &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " ORVENDAL_PROGRAM);
    }
    // Standard error first: what the program writes there is small, and it closes both at exit.
    Outcome outcome;
    outcome.err = readAll(err[0]);
    outcome.out = readAll(out[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

TEST(Usage, BadCommandLinesGetTheSpanishUsageWithoutADisplay) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--bogus"}, "orvendal: opción desconocida: --bogus\n"},
        {{"a", "b"},
         "orvendal: solo se puede indicar un fichero de estaciones (se han dado \"a\" "
         "y \"b\")\n"},
        {{"--credentials"}, "orvendal: --credentials necesita un fichero\n"},
        {{"--credentials=", "M.SIT"}, "orvendal: --credentials necesita un fichero\n"},
        {{"--credentials", "a", "--credentials", "b"},
         "orvendal: --credentials aparece dos veces\n"},
        {{""}, "orvendal: el nombre del fichero de estaciones está vacío\n"},
        {{"M.SIT", "-platform"}, "orvendal: la opción de Qt -platform necesita un valor\n"},
        // Qt's options are known before Qt starts, and do not hide a mistake after them.
        {{"-platform", "offscreen", "-style", "Fusion", "--bogus"},
         "orvendal: opción desconocida: --bogus\n"},
        {{"smb:///MARLOVEN.SIT"}, "orvendal: "},
    };
    std::vector<const char*> locales{"C.UTF-8"};
    if (testing::spanishLocaleInstalled()) {
        locales.push_back("es_ES.UTF-8");
    } else {
        ADD_FAILURE() << testing::kNoSpanishLocale;
    }
    for (const char* locale : locales) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(locale) + " " + ::testing::PrintToString(c.args));
            const Outcome run = orvendal(c.args, locale);
            EXPECT_EQ(run.status, 2) << run.err;
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(run.err.starts_with(c.message)) << run.err;
            EXPECT_NE(run.err.find("\n\nUso: orvendal [--credentials FICHERO] "
                                   "[FICHERO-DE-ESTACIONES]\n"),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(testing::firstEnglishWord(run.err), "") << run.err;
        }
    }
}

// Help and the version need no display either, and go to standard output.
TEST(Usage, HelpAndVersionWithoutADisplay) {
    const Outcome help = orvendal({"x", "--help", "--bogus"}, "C.UTF-8");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Uso: orvendal ")) << help.out;
    EXPECT_EQ(testing::firstEnglishWord(help.out), "") << help.out;
    EXPECT_EQ(help.err, "");

    const Outcome version = orvendal({"--version"}, "C.UTF-8");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "orvendal " ORVENDAL_VERSION "\n");
    EXPECT_EQ(version.err, "");
}

} // namespace
} // namespace orvendal
