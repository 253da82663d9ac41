#include "stopsignals.h"

#include "error.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace orvendal::watch {

struct StopSignals::Watch {
    sigset_t previous{};
    int descriptor = -1;
    // requestStop()'s: written from any thread, and waited on with the signals.
    int stopRequest = -1;
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
    watch_->stopRequest = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watch_->stopRequest < 0) {
        const int err = errno;
        ::close(watch_->descriptor);
        ::sigprocmask(SIG_SETMASK, &watch_->previous, nullptr);
        throw Error::fromErrno(err, "eventfd");
    }
}

StopSignals::~StopSignals() {
    ::close(watch_->stopRequest);
    ::close(watch_->descriptor);
    ::sigprocmask(SIG_SETMASK, &watch_->previous, nullptr);
}

bool StopSignals::wait(std::optional<std::chrono::milliseconds> timeout, bool watchInput) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
    while (!stopped_ && !reopen_) {
        std::array<pollfd, 3> fds{{{watch_->descriptor, POLLIN, 0},
                                   {watch_->stopRequest, POLLIN, 0},
                                   {STDIN_FILENO, POLLIN, 0}}};
        int wait = -1;
        if (timeout) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<int>(std::max<long long>(0, left));
        }
        const int ready = ::poll(fds.data(), watchInput ? 3 : 2, wait);
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
        if (fds[1].revents & POLLIN) {
            stopped_ = true;
        }
        if (watchInput && fds[2].revents != 0) {
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

void StopSignals::requestStop() noexcept {
    const std::uint64_t one = 1;
    // A write that fails leaves the counter above zero already: a stop is pending either way.
    [[maybe_unused]] const ssize_t written = ::write(watch_->stopRequest, &one, sizeof one);
}

} // namespace orvendal::watch
