#pragma once

#include "events.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvendal::journal {

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs `command` through the system's shell (/bin/sh -c, cmd.exe /V:ON /C on Windows) with exactly
// `environment`, standard input empty and its output on our standard error, and waits for it.
// Inherits no other open file of ours. Returns its exit status; throws Error when it cannot start.
int runShellCommand(const std::string& command, const Environment& environment);

// Why this build's shell would let an event's text run as a command in `command`, in Spanish, or
// nothing when it would not. Asked before the watcher starts.
std::optional<std::string> hookCommandProblem(const std::string& command);

// The first reference to an ORVENDAL_ variable between percent signs in a cmd.exe command
// ("%ORVENDAL_NAME%", "%orvendal_name:~0,3%"), or nothing. cmd.exe expands those before it parses
// & | < >, so a station's name would be read as part of the command. Carets are skipped, as a
// CALL's second expansion would skip them.
std::optional<std::string> percentReference(std::string_view command);

// The line cmd.exe at `shell` gets for a hook: delayed expansion on, so that !ORVENDAL_NAME!
// expands after the line is parsed, and the user's command as it was given.
std::string cmdCommandLine(std::string_view shell, std::string_view command);

// This process's environment variables, in their order.
Environment currentEnvironment();

// The watcher's environment as hooks get it: without what could carry the watcher's credentials
// (Kerberos caches, Samba's password variables, the service's credential settings) and without
// any ORVENDAL_ variable of its own.
Environment hookBaseEnvironment();

// The ORVENDAL_ variables that tell a hook its event.
Environment eventEnvironment(const Event& event);

// Runs a command for each event without ever making the watcher wait: at most `parallel` at
// once, up to `queued` more waiting, and any beyond that dropped with a line on `report`, which
// also hears of hooks that fail. `report` is called from the runner's threads. The threads are
// detached: a hook that never ends holds one of them, never the watcher's exit.
class HookRunner {
public:
    using Report = std::function<void(const std::string& line)>;

    HookRunner(std::string command, Report report, std::size_t parallel = 4,
               std::size_t queued = 64);
    // Drops the hooks still queued; those running go on without us.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    void post(const Event& event);
    // Waits up to `limit` for the hooks running and queued to end.
    void finish(std::chrono::milliseconds limit);

private:
    struct State;
    static void work(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
};

} // namespace orvendal::journal
