#pragma once

#include "events.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orvendal::journal {

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs `command` through the system's shell (/bin/sh -c, cmd.exe /c on Windows) with exactly
// `environment`, standard input empty and its output on our standard error, and waits for it.
// Inherits no other open file of ours. Returns its exit status; throws Error when it cannot start.
int runShellCommand(const std::string& command, const Environment& environment);

// This process's environment variables, in their order.
Environment currentEnvironment();

// The watcher's environment as hooks get it: without what could carry the watcher's credentials
// (Kerberos caches, Samba's password variables, the service's credential settings) and without
// any ORVENDAL_ variable of its own.
Environment hookBaseEnvironment();

// The ORVENDAL_ variables that tell a hook its event.
Environment eventEnvironment(const Event& event);

// Runs a command for each event without ever making the watcher wait: at most `parallel` at
// once, up to `queued` more waiting, and any beyond that dropped. `report` hears of hooks that
// fail, and of those dropped in one line with their count at most once per `reportEvery`: a
// station flapping all day would otherwise write a line for every event. `report` is called
// from the runner's threads too. The threads are detached: a hook that never ends holds one of
// them, never the watcher's exit.
class HookRunner {
public:
    using Report = std::function<void(const std::string& line)>;

    HookRunner(std::string command, Report report, std::size_t parallel = 4,
               std::size_t queued = 64,
               std::chrono::milliseconds reportEvery = std::chrono::minutes(1));
    // Drops the hooks still queued; those running go on without us.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    void post(const Event& event);
    // Reports the hooks dropped since the last report, if that was `reportEvery` ago or more:
    // called at each refresh, so that the count comes even when no event follows.
    void reportDropped();
    // Waits up to `limit` for the hooks running and queued to end, and reports the hooks dropped
    // since the last report.
    void finish(std::chrono::milliseconds limit);

private:
    struct State;
    static void work(const std::shared_ptr<State>& state);
    void reportDropped(bool now);

    std::shared_ptr<State> state_;
};

} // namespace orvendal::journal
