#pragma once

#include "events.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvendal::watch {

using Environment = std::vector<std::pair<std::string, std::string>>;

// `command` run through the system's shell (/bin/sh -c, cmd.exe /V:ON /C on Windows) with exactly
// `environment`, standard input empty and its output on our standard error, inheriting no other
// open file of ours. It runs in a process group of its own (a job object on Windows), so that
// ending it ends whatever it started as well.
class ShellProcess {
public:
    // Throws Error when it cannot start.
    ShellProcess(const std::string& command, const Environment& environment);
    // Ends the group if the shell still runs, and collects the shell.
    ~ShellProcess();
    ShellProcess(const ShellProcess&) = delete;
    ShellProcess& operator=(const ShellProcess&) = delete;

    // Whether the shell ended within `limit`. It is not collected yet, so that end() can never
    // reach another process that took its number.
    bool waitFor(std::chrono::milliseconds limit);
    // Ends the group: asks (SIGTERM), or at once (SIGKILL); on Windows the job ends at once.
    void end(bool now);
    // Waits for the shell and returns its exit status (128 + the signal that ended it).
    int status();

private:
    struct Os;
    std::unique_ptr<Os> os_;
};

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
Environment eventEnvironment(const station::Event& event);

// Runs a command for each event without ever making the watcher wait: at most `parallel` at
// once, up to `queued` more waiting, and any beyond that dropped. `report` hears of hooks that
// fail, and of those dropped in one line with their count at most once per `reportEvery`: a
// station flapping all day would otherwise write a line for every event. `report` is called
// from the runner's threads too. A hook still running after `timeout` is ended (asked, then
// killed), so that one that hangs cannot hold its place for ever. The threads are detached and
// never hold the watcher's exit.
class HookRunner {
public:
    using Report = std::function<void(const std::string& line)>;

    HookRunner(std::string command, Report report, std::size_t parallel = 4,
               std::size_t queued = 64,
               std::chrono::milliseconds timeout = std::chrono::seconds(60),
               std::chrono::milliseconds reportEvery = std::chrono::minutes(1));
    // Drops the hooks still queued.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    void post(const station::Event& event);
    // Reports the hooks dropped since the last report, if that was `reportEvery` ago or more:
    // called at each refresh, so that the count comes even when no event follows.
    void reportDropped();
    // Waits up to `limit` for the hooks running and queued to end, then drops those queued and
    // kills those still running with whatever they started, and reports the hooks dropped since
    // the last report.
    void finish(std::chrono::milliseconds limit);

private:
    struct State;
    static void work(const std::shared_ptr<State>& state);
    // Runs one hook to its end or its time-out; why it failed, or nothing.
    static std::string runHook(State& state, const Environment& environment);
    // finish()'s wait, and the end of what is left after it.
    void endAfter(std::chrono::milliseconds limit);
    void reportDropped(bool now);

    std::shared_ptr<State> state_;
};

} // namespace orvendal::watch
