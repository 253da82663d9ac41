#include "stopsignals.h"

#include "win32error.h"

#include <windows.h>

#include <algorithm>

namespace orvendal::watch {
namespace {

// Process-wide and never closed: the console handler runs on a thread of the system's, and the
// input reader may still be blocked in ReadFile when the StopSignals that started it is gone.
HANDLE manualEvent() {
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        throw files::lastWindowsError("CreateEvent");
    }
    return event;
}

HANDLE stopRequested() {
    static const HANDLE event = manualEvent();
    return event;
}

HANDLE inputEnded() {
    static const HANDLE event = manualEvent();
    return event;
}

BOOL WINAPI onConsoleControl(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        ::SetEvent(stopRequested());
        return TRUE;
    default:
        return FALSE;
    }
}

// Reads and discards standard input until it ends (or cannot be read), then says so. A pipe
// cannot be waited on with the events, hence a thread of its own.
DWORD WINAPI readInputToEnd(void*) {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    char discard[4096];
    DWORD got = 0;
    while (input != nullptr && input != INVALID_HANDLE_VALUE &&
           ::ReadFile(input, discard, sizeof discard, &got, nullptr) && got > 0) {
    }
    ::SetEvent(inputEnded());
    return 0;
}

} // namespace

void StopSignals::requestStop() noexcept {
    ::SetEvent(stopRequested());
}

struct StopSignals::Watch {
    bool readingInput = false;
};

StopSignals::StopSignals(Hangup) : watch_(std::make_unique<Watch>()) {
    stopRequested();
    inputEnded();
    if (!::SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        throw files::lastWindowsError("SetConsoleCtrlHandler");
    }
}

StopSignals::~StopSignals() {
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

bool StopSignals::wait(std::optional<std::chrono::milliseconds> timeout, bool watchInput) {
    if (stopped_) {
        return true;
    }
    if (watchInput && !watch_->readingInput) {
        const HANDLE reader = ::CreateThread(nullptr, 0, readInputToEnd, nullptr, 0, nullptr);
        if (reader == nullptr) {
            throw files::lastWindowsError("CreateThread");
        }
        ::CloseHandle(reader);
        watch_->readingInput = true;
    }
    const HANDLE events[] = {stopRequested(), inputEnded()};
    const DWORD wait =
        timeout ? static_cast<DWORD>(std::max<long long>(0, timeout->count())) : INFINITE;
    const DWORD woke = ::WaitForMultipleObjects(watchInput ? 2 : 1, events, FALSE, wait);
    if (woke == WAIT_FAILED) {
        throw files::lastWindowsError("WaitForMultipleObjects");
    }
    stopped_ = woke != WAIT_TIMEOUT;
    return stopped_;
}

} // namespace orvendal::watch
