#include "serviceruntime.h"

#include "error.h"
#include "escape.h"
#include "eventlog.h"
#include "serviceconfig.h"
#include "servicecontrol.h"
#include "timetext.h"
#include "usageerror.h"
#include "waiter.h"
#include "watcher.h"
#include "win32error.h"

#include <windows.h>

#include <exception>
#include <mutex>
#include <optional>

namespace orvendal::watch::service {
namespace {

// The watcher's stop: a refresh stuck on a silent server (2 s), hooks still running (2 s), and
// the journal's last commit, with room to spare.
constexpr DWORD kStopWaitHint = 15'000;
constexpr DWORD kStartWaitHint = 5'000;
// How long the hooks' last lines may take to reach the Event Log at the end.
constexpr DWORD kReaderLimit = 2'000;

const std::wstring* runningService = nullptr;
const std::string* serviceStationFile = nullptr;
const std::function<Options()>* serviceOptions = nullptr;
const std::function<std::unique_ptr<StateSink>(const Options&)>* servicePage = nullptr;
int exitStatus = 0;

std::mutex statusLock;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};

void setState(DWORD state, int exitCode = 0, DWORD waitHint = 0) {
    const std::lock_guard lock(statusLock);
    // A stop asked for while the watcher starts is not undone by its start.
    if (state == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOP_PENDING) {
        return;
    }
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN
            : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
                              ? status.dwCheckPoint + 1
                              : 0;
    ::SetServiceStatus(statusHandle, &status);
}

// A service has no console, and the C runtime's streams stay on the invalid handles it started
// with. The hooks inherit the process's standard error handle: it becomes a pipe whose lines go
// to the Event Log, so that a hook's complaint is seen there as the watcher's reports are.
class HookOutput {
public:
    explicit HookOutput(EventLog& log) : log_(log) {
        if (!::CreatePipe(&read_, &write_, nullptr, 0)) {
            throw files::lastWindowsError("CreatePipe");
        }
        reader_ = ::CreateThread(nullptr, 0, readLines, this, 0, nullptr);
        if (reader_ == nullptr) {
            const Error error = files::lastWindowsError("CreateThread");
            ::CloseHandle(read_);
            ::CloseHandle(write_);
            throw error;
        }
        ::SetStdHandle(STD_ERROR_HANDLE, write_);
    }
    // Closes our end of the pipe and lets the reader report what is left.
    ~HookOutput() {
        ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
        ::CloseHandle(write_);
        ::WaitForSingleObject(reader_, kReaderLimit);
        ::CloseHandle(reader_);
    }
    HookOutput(const HookOutput&) = delete;
    HookOutput& operator=(const HookOutput&) = delete;

private:
    static DWORD WINAPI readLines(void* self) {
        auto& output = *static_cast<HookOutput*>(self);
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(output.read_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                output.report(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        output.report(pending);
        ::CloseHandle(output.read_);
        return 0;
    }
    void report(std::string line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (!line.empty()) {
            log_.warning(line);
        }
    }

    EventLog& log_;
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    HANDLE reader_ = nullptr;
};

// The pause between refreshes, which the Service Control Manager's stop ends.
class ServiceStop final : public Waiter {
public:
    ServiceStop() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (event_ == nullptr) {
            throw files::lastWindowsError("CreateEvent");
        }
    }
    ~ServiceStop() override { ::CloseHandle(event_); }
    ServiceStop(const ServiceStop&) = delete;
    ServiceStop& operator=(const ServiceStop&) = delete;

    Wake pause(std::chrono::milliseconds limit) override {
        const DWORD woke = ::WaitForSingleObject(event_, static_cast<DWORD>(limit.count()));
        if (woke == WAIT_FAILED) {
            throw files::lastWindowsError("WaitForSingleObject");
        }
        return woke == WAIT_TIMEOUT ? Wake::Elapsed : Wake::Stop;
    }
    void requestStop() noexcept override { ::SetEvent(event_); }

private:
    HANDLE event_;
};

// On a thread of the Service Control Manager's; `context` is the service's ServiceStop.
DWORD WINAPI onControl(DWORD control, DWORD, void*, void* context) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        setState(SERVICE_STOP_PENDING, 0, kStopWaitHint);
        static_cast<ServiceStop*>(context)->requestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

std::string describe(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError& e) {
        return e.what();
    } catch (...) {
        return toError(std::current_exception()).text('-');
    }
}

// Reports and events go to the Event Log: a service has nobody to read its output.
int watchAsService(EventLog& log, ServiceStop& stop) {
    const std::string& file = *serviceStationFile;
    try {
        const Options options = (*serviceOptions)();
        const std::unique_ptr<StateSink> page = (*servicePage)(options);
        std::size_t closed = 0;
        int code = 0;
        {
            const HookOutput hookOutput(log);
            Sinks sinks;
            if (page) {
                sinks.states.push_back(page.get());
            }
            sinks.report = [&log](const std::string& line) {
                log.warning("stationctl watch: " + printable(line));
            };
            sinks.events = [&](const std::vector<station::Event>& events) {
                log.events(file, events);
                for (const station::Event& e : events) {
                    // A flapping period the stop ends is no session.
                    closed += e.kind == station::EventKind::Stopped && !e.flappingSince;
                }
            };
            const SystemClock clock;
            Watcher watcher(options, std::move(sinks), clock, stop);
            clearFailure(*runningService);
            setState(SERVICE_RUNNING);
            log.started(file, options.journal.value_or("ninguno"),
                        options.textfile.value_or("ninguno"));
            code = watcher.run();
        }
        log.stopped(file, closed);
        return code;
    } catch (...) {
        const std::string reason = describe(std::current_exception());
        log.failed(file, reason);
        recordFailure(*runningService,
                      journal::isoLocalTime(std::chrono::system_clock::now()) + ": " + reason);
        return 1;
    }
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    exitStatus = 1;
    std::optional<ServiceStop> stop;
    try {
        stop.emplace();
    } catch (...) {
        return;
    }
    statusHandle = ::RegisterServiceCtrlHandlerExW(runningService->c_str(), onControl, &*stop);
    if (statusHandle == nullptr) {
        return;
    }
    setState(SERVICE_START_PENDING, 0, kStartWaitHint);
    try {
        EventLog log(*runningService);
        exitStatus = watchAsService(log, *stop);
    } catch (...) {
        exitStatus = 1;
    }
    // No control comes after this: `stop` may go.
    setState(SERVICE_STOPPED, exitStatus);
}

} // namespace

int runAsService(const std::wstring& service, const std::string& stationFile,
                 const std::function<Options()>& options,
                 const std::function<std::unique_ptr<StateSink>(const Options&)>& page) {
    runningService = &service;
    serviceStationFile = &stationFile;
    serviceOptions = &options;
    servicePage = &page;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(service.c_str()), serviceMain},
                                    {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            throw UsageError("service run solo lo arranca el Administrador de control de "
                             "servicios; en una consola use «stationctl watch»");
        }
        throw files::lastWindowsError("StartServiceCtrlDispatcher");
    }
    return exitStatus;
}

} // namespace orvendal::watch::service
