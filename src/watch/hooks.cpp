#include "hooks.h"

#include "error.h"
#include "escape.h"
#include "text.h"
#include "timetext.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace orvendal::watch {

struct HookRunner::State {
    std::string command;
    Report report;
    std::size_t parallel = 0;
    std::size_t queued = 0;
    Environment base;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Environment> waiting;
    std::size_t running = 0;
    std::size_t workers = 0;
    bool closing = false;
    std::chrono::milliseconds timeout{};
    // The hooks' shells while they run, for finish() to end; only touched under `mutex`.
    std::set<ShellProcess*> shells;
    // Hooks dropped since the last report, and when the first of them was.
    std::size_t dropped = 0;
    WallClock::time_point firstDropped;
    std::chrono::milliseconds reportEvery{0};
    SteadyClock::time_point reported;
};

std::optional<std::string> percentReference(std::string_view command) {
    std::string bare;
    std::copy_if(command.begin(), command.end(), std::back_inserter(bare),
                 [](char c) { return c != '^'; });
    constexpr std::string_view kPrefix = "ORVENDAL_";
    for (std::size_t open = bare.find('%'); open != std::string::npos;
         open = bare.find('%', open + 1)) {
        const std::string_view name = std::string_view(bare).substr(open + 1, kPrefix.size());
        const bool ours = std::equal(
            name.begin(), name.end(), kPrefix.begin(), kPrefix.end(),
            [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
        const std::size_t close = bare.find('%', open + 1 + kPrefix.size());
        if (ours && close != std::string::npos) {
            return bare.substr(open, close + 1 - open);
        }
    }
    return std::nullopt;
}

std::string cmdCommandLine(std::string_view shell, std::string_view command) {
    std::string line(1, '"');
    line.append(shell).append("\" /V:ON /C ").append(command);
    return line;
}

namespace {

// What a hook asked to end gets before it is killed.
constexpr std::chrono::seconds kEndGrace{2};

// --hook-timeout takes whole seconds.
std::string seconds(std::chrono::milliseconds time) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(time).count()) + " s";
}

} // namespace

Environment eventEnvironment(const station::Event& event) {
    using station::EventKind;
    const bool station =
        event.kind == EventKind::Connected || event.kind == EventKind::Disconnected ||
        event.kind == EventKind::Flapping || event.kind == EventKind::FlappingEnded;
    const auto& f = event.fields;
    std::string changes;
    if (event.kind == EventKind::FlappingEnded && event.changes) {
        changes = std::to_string(*event.changes);
    } else if (event.kind == EventKind::Changes) {
        changes = std::to_string(event.counts.total());
    }
    return {
        {"ORVENDAL_EVENT", std::string(eventName(event.kind))},
        {"ORVENDAL_REC", station ? std::to_string(event.rec) : ""},
        {"ORVENDAL_STATION", f ? std::to_string(f->station) : ""},
        // As a terminal shows them: a NUL would cut the variable short, and a hook that logs or
        // echoes them would pass control characters on.
        {"ORVENDAL_CONNECTION", f ? toUtf8(printable(f->connection)) : ""},
        {"ORVENDAL_NAME", f ? toUtf8(printable(f->name)) : ""},
        {"ORVENDAL_TIME", journal::isoLocalTime(event.time)},
        {"ORVENDAL_CHANGES", changes},
    };
}

Environment hookBaseEnvironment() {
    // Kerberos ticket caches and keytabs, Samba's password variables, and the service's own
    // settings (its defaults file names the credentials file).
    static constexpr std::array<std::string_view, 10> kWithheld = {
        "KRB5CCNAME",  "KRB5_KTNAME", "KRB5_CLIENT_KTNAME",    "PASSWD",      "PASSWD_FD",
        "PASSWD_FILE", "CREDENTIALS", "CREDENTIALS_DIRECTORY", "LIBSMB_PROG", "SMB_CONF_PATH"};
    Environment base;
    for (const auto& [name, value] : currentEnvironment()) {
        const bool withheld =
            std::find(kWithheld.begin(), kWithheld.end(), name) != kWithheld.end() ||
            name.starts_with("ORVENDAL_") ||
            // Samba reads USER as "user%password".
            (name == "USER" && value.find('%') != std::string::npos);
        if (!withheld) {
            base.emplace_back(name, value);
        }
    }
    return base;
}

HookRunner::HookRunner(std::string command, Report report, std::size_t parallel, std::size_t queued,
                       std::chrono::milliseconds timeout, std::chrono::milliseconds reportEvery)
    : state_(std::make_shared<State>()) {
    state_->timeout = timeout;
    state_->reportEvery = reportEvery;
    state_->reported = SteadyClock::now();
    state_->command = std::move(command);
    state_->report = std::move(report);
    state_->parallel = std::max<std::size_t>(1, parallel);
    state_->queued = queued;
    state_->base = hookBaseEnvironment();
}

HookRunner::~HookRunner() {
    const std::lock_guard lock(state_->mutex);
    state_->closing = true;
    state_->waiting.clear();
    state_->wake.notify_all();
}

void HookRunner::post(const station::Event& event) {
    Environment environment = state_->base;
    for (auto& variable : eventEnvironment(event)) {
        environment.push_back(std::move(variable));
    }
    std::unique_lock lock(state_->mutex);
    if (state_->closing) {
        return;
    }
    if (state_->running + state_->waiting.size() >= state_->parallel + state_->queued) {
        if (state_->dropped++ == 0) {
            state_->firstDropped = event.time;
        }
        lock.unlock();
        reportDropped(false);
        return;
    }
    state_->waiting.push_back(std::move(environment));
    // Workers not running a hook are waiting for one; start another only when they are too few.
    const std::size_t idleWorkers = state_->workers - state_->running;
    if (state_->waiting.size() > idleWorkers && state_->workers < state_->parallel) {
        ++state_->workers;
        lock.unlock();
        std::thread([state = state_] { work(state); }).detach();
        return;
    }
    state_->wake.notify_one();
}

void HookRunner::finish(std::chrono::milliseconds limit) {
    endAfter(limit);
    reportDropped(true);
}

void HookRunner::endAfter(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    const auto idle = [this] { return state_->waiting.empty() && state_->running == 0; };
    if (state_->idle.wait_for(lock, limit, idle)) {
        return;
    }
    state_->closing = true;
    state_->waiting.clear();
    const std::size_t left = state_->shells.size();
    for (ShellProcess* shell : state_->shells) {
        shell->end(true);
    }
    state_->wake.notify_all();
    if (left > 0) {
        lock.unlock();
        state_->report(std::to_string(left) +
                       " órdenes de --on-change seguían en marcha al terminar: se matan con "
                       "lo que hubieran lanzado");
        lock.lock();
    }
    // Their workers collect them now, so that none is left a zombie or unreported.
    state_->idle.wait_for(lock, limit, [this] { return state_->running == 0; });
}

void HookRunner::reportDropped() {
    reportDropped(false);
}

void HookRunner::reportDropped(bool now) {
    std::unique_lock lock(state_->mutex);
    const auto at = SteadyClock::now();
    if (state_->dropped == 0 || (!now && at - state_->reported < state_->reportEvery)) {
        return;
    }
    const std::size_t count = std::exchange(state_->dropped, 0);
    const WallClock::time_point since = state_->firstDropped;
    state_->reported = at;
    lock.unlock();
    state_->report(std::to_string(count) +
                   (count == 1 ? " orden de --on-change descartada desde "
                               : " órdenes de --on-change descartadas desde ") +
                   journal::isoLocalTime(since) + ": ya había " + std::to_string(state_->parallel) +
                   " en marcha y " + std::to_string(state_->queued) + " en espera");
}

std::string HookRunner::runHook(State& state, const Environment& environment) {
    ShellProcess shell(state.command, environment);
    {
        const std::lock_guard lock(state.mutex);
        if (state.closing) {
            shell.end(true);
        }
        state.shells.insert(&shell);
    }
    const bool timedOut = !shell.waitFor(state.timeout);
    bool ended = !timedOut;
    if (timedOut) {
        shell.end(false);
        ended = shell.waitFor(kEndGrace);
    }
    {
        // Out of finish()'s reach before it is collected: its number may be reused after.
        const std::lock_guard lock(state.mutex);
        state.shells.erase(&shell);
        if (!ended) {
            shell.end(true);
        }
    }
    const int status = shell.status();
    if (timedOut) {
        return "terminó con el estado " + std::to_string(status) + ": duró más de " +
               seconds(state.timeout) + " (--hook-timeout) y se detuvo";
    }
    return status != 0 ? "terminó con el estado " + std::to_string(status) : std::string();
}

void HookRunner::work(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    while (true) {
        state->wake.wait(lock, [&] { return state->closing || !state->waiting.empty(); });
        if (state->waiting.empty()) {
            break;
        }
        Environment environment = std::move(state->waiting.front());
        state->waiting.pop_front();
        ++state->running;
        lock.unlock();
        const auto event = std::find_if(environment.begin(), environment.end(),
                                        [](const auto& v) { return v.first == "ORVENDAL_EVENT"; });
        std::string failure;
        try {
            failure = runHook(*state, environment);
        } catch (...) {
            failure = "no se pudo lanzar: " + toError(std::current_exception()).text('-');
        }
        if (!failure.empty()) {
            state->report("la orden de --on-change del evento " + event->second + " " + failure);
        }
        lock.lock();
        --state->running;
        if (state->waiting.empty() && state->running == 0) {
            state->idle.notify_all();
        }
    }
    --state->workers;
}

} // namespace orvendal::watch
