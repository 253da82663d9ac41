#include "serviceruntime.h"

#include "commands.h"
#include "error.h"
#include "eventlog.h"
#include "serviceconfig.h"
#include "servicestop.h"
#include "watch.h"
#include "win32error.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <streambuf>

namespace orvendal::stationctl {
namespace {

using namespace service;

// The watcher's stop: a refresh stuck on a silent server (2 s), hooks still running (2 s), and
// the journal's last commit, with room to spare.
constexpr DWORD kStopWaitHint = 15'000;
constexpr DWORD kStartWaitHint = 5'000;
// How long the last lines of standard error may take to reach the Event Log at the end.
constexpr DWORD kReaderLimit = 2'000;

const std::vector<std::string>* watchArguments = nullptr;
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

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        setState(SERVICE_STOP_PENDING, 0, kStopWaitHint);
        requestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Discards what is written to it, as NUL does.
class DiscardBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Writes what it is given to a pipe, unbuffered.
class PipeBuffer : public std::streambuf {
public:
    explicit PipeBuffer(HANDLE pipe) : pipe_(pipe) {}

protected:
    int_type overflow(int_type c) override {
        const char byte = traits_type::to_char_type(c);
        return traits_type::eq_int_type(c, traits_type::eof()) || xsputn(&byte, 1) == 1
                   ? traits_type::not_eof(c)
                   : traits_type::eof();
    }
    std::streamsize xsputn(const char* data, std::streamsize n) override {
        DWORD written = 0;
        return ::WriteFile(pipe_, data, static_cast<DWORD>(n), &written, nullptr) ? written : 0;
    }

private:
    HANDLE pipe_;
};

// A service has no console, and the C runtime's streams stay on the invalid handles it started
// with; the streams of the watcher are redirected where it writes them, in its iostreams. Its
// standard output (the JSON lines, which nobody reads here) is discarded: a write that failed
// would end the watcher as a closed pipe does. Its standard error, and so the watcher's reports
// and those of the hooks (which inherit the process's standard error handle), goes line by line
// to the Event Log.
class ServiceStreams {
public:
    explicit ServiceStreams(EventLog& log) : log_(log) {
        if (!::CreatePipe(&read_, &write_, nullptr, 0)) {
            throw files::lastWindowsError("CreatePipe");
        }
        errors_.emplace(write_);
        reader_ = ::CreateThread(nullptr, 0, readLines, this, 0, nullptr);
        if (reader_ == nullptr) {
            const Error error = files::lastWindowsError("CreateThread");
            ::CloseHandle(read_);
            ::CloseHandle(write_);
            throw error;
        }
        output_ = std::cout.rdbuf(&discard_);
        std::cout.clear();
        reports_ = std::cerr.rdbuf(&*errors_);
        ::SetStdHandle(STD_ERROR_HANDLE, write_);
    }
    // Closes our end of standard error and lets the reader report what is left.
    ~ServiceStreams() {
        std::cerr.rdbuf(reports_);
        std::cout.rdbuf(output_);
        ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
        ::CloseHandle(write_);
        ::WaitForSingleObject(reader_, kReaderLimit);
        ::CloseHandle(reader_);
    }
    ServiceStreams(const ServiceStreams&) = delete;
    ServiceStreams& operator=(const ServiceStreams&) = delete;

private:
    static DWORD WINAPI readLines(void* self) {
        auto& streams = *static_cast<ServiceStreams*>(self);
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(streams.read_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                streams.report(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        streams.report(pending);
        ::CloseHandle(streams.read_);
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
    DiscardBuffer discard_;
    std::optional<PipeBuffer> errors_;
    std::streambuf* output_ = nullptr;
    std::streambuf* reports_ = nullptr;
};

std::string describe(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError& e) {
        return e.what();
    } catch (...) {
        return toError(std::current_exception()).text('-');
    }
}

std::string optionText(const Arguments& args, std::string_view option) {
    return args.value(option).value_or("ninguno");
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = ::RegisterServiceCtrlHandlerExW(kName, onControl, nullptr);
    if (statusHandle == nullptr) {
        exitStatus = 1;
        return;
    }
    setState(SERVICE_START_PENDING, 0, kStartWaitHint);
    int code = 1;
    try {
        EventLog log;
        const std::string& file = watchArguments->front();
        try {
            const Arguments args(*watchArguments, kWatchCommand.options);
            std::size_t closed = 0;
            {
                const ServiceStreams streams(log);
                setState(SERVICE_RUNNING);
                log.started(file, optionText(args, "--journal"), optionText(args, "--prometheus"));
                code = runWatch(args, [&](const std::vector<journal::Event>& events) {
                    log.events(file, events);
                    for (const journal::Event& e : events) {
                        closed += e.kind == journal::EventKind::Stopped;
                    }
                });
            }
            log.stopped(file, closed);
        } catch (...) {
            code = 1;
            log.failed(file, describe(std::current_exception()));
        }
    } catch (...) {
        code = 1;
    }
    exitStatus = code;
    setState(SERVICE_STOPPED, code);
}

} // namespace

int runAsService(const std::vector<std::string>& arguments) {
    watchArguments = &arguments;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kName), serviceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            throw UsageError("service run solo lo arranca el Administrador de control de "
                             "servicios; en una consola use «stationctl watch»");
        }
        throw files::lastWindowsError("StartServiceCtrlDispatcher");
    }
    return exitStatus;
}

} // namespace orvendal::stationctl
