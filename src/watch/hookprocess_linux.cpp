#include "error.h"
#include "hooks.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvendal::watch {

Environment currentEnvironment() {
    Environment variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            variables.emplace_back(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return variables;
}

// /bin/sh expands $ORVENDAL_NAME after it has parsed the command: its value is never a command.
std::optional<std::string> hookCommandProblem(const std::string&) {
    return std::nullopt;
}

struct ShellProcess::Os {
    pid_t pid = 0;
    // Readable once the shell has ended; poll() on it waits with a limit, which waitpid cannot.
    int ended = -1;
    std::optional<int> status;
};

ShellProcess::ShellProcess(const std::string& command, const Environment& environment)
    : os_(std::make_unique<Os>()) {
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) {
        entries.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // Standard output carries the watcher's JSON lines: a hook's output goes to standard error.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    // Whatever another thread opened without O_CLOEXEC (a stream, a library's file) stays ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The watcher blocks its stop signals to read them from a signalfd and ignores SIGPIPE; the
    // shell gets neither, which an exec would otherwise pass on.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A group of its own: what the shell starts is ended with it, and a Ctrl+C at the terminal
    // reaches the watcher only, which then ends its hooks itself.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);

    std::string shell = "/bin/sh", dashC = "-c", text = command;
    char* argv[] = {shell.data(), dashC.data(), text.data(), nullptr};
    const int err = ::posix_spawn(&os_->pid, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (err != 0) {
        throw Error::fromErrno(err, "/bin/sh");
    }
    os_->ended = static_cast<int>(::syscall(SYS_pidfd_open, os_->pid, 0));
    if (os_->ended < 0) {
        const int failure = errno;
        end(true);
        status();
        throw Error::fromErrno(failure, "pidfd_open");
    }
}

ShellProcess::~ShellProcess() {
    if (!os_->status && !waitFor(std::chrono::milliseconds(0))) {
        end(true);
    }
    try {
        status();
    } catch (const Error&) {
        // Nothing left to collect: the descriptor is all there is to free.
    }
    ::close(os_->ended);
}

bool ShellProcess::waitFor(std::chrono::milliseconds limit) {
    if (os_->status) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        pollfd fd{os_->ended, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = ::poll(&fd, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

void ShellProcess::end(bool now) {
    if (!os_->status) {
        ::kill(-os_->pid, now ? SIGKILL : SIGTERM);
    }
}

int ShellProcess::status() {
    if (!os_->status) {
        int status = 0;
        while (::waitpid(os_->pid, &status, 0) < 0) {
            if (errno != EINTR) {
                throw Error::fromErrno(errno, "waitpid");
            }
        }
        os_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return *os_->status;
}

} // namespace orvendal::watch
