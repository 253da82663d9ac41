#include "hooks.h"

#include "error.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace orvendal::journal {

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

Environment eventEnvironment(const Event& event) {
    const bool station =
        event.kind == EventKind::Connected || event.kind == EventKind::Disconnected;
    const auto& f = event.fields;
    return {
        {"ORVENDAL_EVENT", std::string(eventName(event.kind))},
        {"ORVENDAL_REC", station ? std::to_string(event.rec) : ""},
        {"ORVENDAL_STATION", f ? std::to_string(f->station) : ""},
        {"ORVENDAL_CONNECTION", f ? toUtf8(f->connection) : ""},
        {"ORVENDAL_NAME", f ? toUtf8(f->name) : ""},
        {"ORVENDAL_TIME", isoLocalTime(event.time)},
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

HookRunner::HookRunner(std::string command, Report report, std::size_t parallel, std::size_t queued)
    : state_(std::make_shared<State>()) {
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

void HookRunner::post(const Event& event) {
    Environment environment = state_->base;
    for (auto& variable : eventEnvironment(event)) {
        environment.push_back(std::move(variable));
    }
    std::unique_lock lock(state_->mutex);
    if (state_->closing) {
        return;
    }
    if (state_->running + state_->waiting.size() >= state_->parallel + state_->queued) {
        lock.unlock();
        state_->report("hook dropped for the " + std::string(eventName(event.kind)) + " event at " +
                       isoLocalTime(event.time) + ": " + std::to_string(state_->parallel) +
                       " running and " + std::to_string(state_->queued) + " waiting already");
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
    std::unique_lock lock(state_->mutex);
    state_->idle.wait_for(lock, limit,
                          [this] { return state_->waiting.empty() && state_->running == 0; });
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
            const int status = runShellCommand(state->command, environment);
            if (status != 0) {
                failure = "exited with status " + std::to_string(status);
            }
        } catch (...) {
            failure = "could not start: " + toError(std::current_exception()).text('-');
        }
        if (!failure.empty()) {
            state->report("hook for the " + event->second + " event " + failure);
        }
        lock.lock();
        --state->running;
        if (state->waiting.empty() && state->running == 0) {
            state->idle.notify_all();
        }
    }
    --state->workers;
}

} // namespace orvendal::journal
