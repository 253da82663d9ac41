#include "stopsignals.h"

#include "error.h"

#include <array>
#include <cerrno>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace orvendal::stationctl {

struct StopSignals::Watch {
    sigset_t previous{};
    int descriptor = -1;
    bool hangupReopens = false;
};

StopSignals::StopSignals(Hangup hangup) : watch_(std::make_unique<Watch>()) {
    watch_->hangupReopens = hangup == Hangup::Reopens;
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &stops, &watch_->previous) != 0) {
        throw Error::fromErrno(errno, "sigprocmask");
    }
    watch_->descriptor = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (watch_->descriptor < 0) {
        const int err = errno;
        ::sigprocmask(SIG_SETMASK, &watch_->previous, nullptr);
        throw Error::fromErrno(err, "signalfd");
    }
}

StopSignals::~StopSignals() {
    ::close(watch_->descriptor);
    ::sigprocmask(SIG_SETMASK, &watch_->previous, nullptr);
}

bool StopSignals::wait(std::optional<std::chrono::milliseconds> timeout, bool watchInput) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
    while (!stopped_ && !reopen_) {
        std::array<pollfd, 2> fds{{{watch_->descriptor, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}}};
        int wait = -1;
        if (timeout) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<int>(std::max<long long>(0, left));
        }
        const int ready = ::poll(fds.data(), watchInput ? 2 : 1, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            throw Error::fromErrno(errno, "poll");
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            while (::read(watch_->descriptor, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGHUP && watch_->hangupReopens) {
                    reopen_ = true;
                } else {
                    stopped_ = true;
                }
            }
        }
        if (watchInput && fds[1].revents != 0) {
            std::array<char, 4096> discard{};
            const ssize_t n = ::read(STDIN_FILENO, discard.data(), discard.size());
            // The end of input, an input that was never open, or one that cannot be read.
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                stopped_ = true;
            }
        }
        if (ready == 0) {
            return stopped_;
        }
    }
    return stopped_;
}

} // namespace orvendal::stationctl
