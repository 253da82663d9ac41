#include "error.h"
#include "hooks.h"
#include "win32error.h"
#include "win32text.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace orvendal::watch {
namespace {

Error lastError(const std::string& context) {
    const DWORD code = ::GetLastError();
    return Error(files::win32Code(code),
                 context + " ha fallado (error de Windows " + std::to_string(code) + ")");
}

// An inheritable copy of one of our handles, closed when it goes.
struct InheritableHandle {
    HANDLE handle = nullptr;
    explicit InheritableHandle(HANDLE source) {
        if (source && source != INVALID_HANDLE_VALUE) {
            ::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), &handle, 0,
                              TRUE, DUPLICATE_SAME_ACCESS);
        }
    }
    ~InheritableHandle() {
        if (handle) {
            ::CloseHandle(handle);
        }
    }
    InheritableHandle(const InheritableHandle&) = delete;
    InheritableHandle& operator=(const InheritableHandle&) = delete;
};

} // namespace

Environment currentEnvironment() {
    Environment variables;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (!block) {
        return variables;
    }
    for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        // Entries such as "=C:=C:\\" keep the current folder of each drive: not variables.
        const auto equals = text.find(L'=', 1);
        if (text.front() != L'=' && equals != std::wstring_view::npos) {
            variables.emplace_back(files::narrow(text.substr(0, equals)),
                                   files::narrow(text.substr(equals + 1)));
        }
    }
    ::FreeEnvironmentStringsW(block);
    return variables;
}

std::optional<std::string> hookCommandProblem(const std::string& command) {
    const auto reference = percentReference(command);
    if (!reference) {
        return std::nullopt;
    }
    std::string name = reference->substr(1, reference->size() - 2);
    name = name.substr(0, name.find(':'));
    return "--on-change: cmd.exe sustituye " + *reference +
           " antes de interpretar & | < >, así que un texto del puesto que los lleve se "
           "ejecutaría como orden. Escriba !" +
           name + "! en su lugar: los hooks corren con cmd.exe /V:ON, que lo sustituye después";
}

struct ShellProcess::Os {
    HANDLE process = nullptr;
    // The job holds the shell and all it starts, so that ending it ends them all.
    HANDLE job = nullptr;
    std::optional<int> status;
};

ShellProcess::ShellProcess(const std::string& command, const Environment& environment)
    : os_(std::make_unique<Os>()) {
    os_->job = ::CreateJobObjectW(nullptr, nullptr);
    if (os_->job == nullptr) {
        throw lastError("CreateJobObject");
    }
    std::wstring block;
    for (const auto& [name, value] : environment) {
        block += files::wide(name) + L"=" + files::wide(value);
        block.push_back(L'\0');
    }
    block.push_back(L'\0');

    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
    std::wstring line = files::wide(cmdCommandLine(files::narrow(shell), command));

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    InheritableHandle errors(::GetStdHandle(STD_ERROR_HANDLE));
    // Only these handles pass to the hook, however many of ours are inheritable.
    std::vector<HANDLE> passed;
    if (input != INVALID_HANDLE_VALUE) {
        passed.push_back(input);
    }
    if (errors.handle) {
        passed.push_back(errors.handle);
    }
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    const bool listed =
        ::InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
        (passed.empty() || ::UpdateProcThreadAttribute(
                               attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, passed.data(),
                               passed.size() * sizeof(HANDLE), nullptr, nullptr));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = errors.handle;
    startup.StartupInfo.hStdError = errors.handle;
    startup.lpAttributeList = listed ? attributes : nullptr;
    PROCESS_INFORMATION process{};
    // Suspended until it is in the job: nothing it starts can escape the job.
    const BOOL started =
        listed && ::CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, !passed.empty(),
                                   CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                                       EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED,
                                   block.data(), nullptr, &startup.StartupInfo, &process);
    const Error failure = lastError("CreateProcessW (cmd.exe)");
    if (listed) {
        ::DeleteProcThreadAttributeList(attributes);
    }
    if (input != INVALID_HANDLE_VALUE) {
        ::CloseHandle(input);
    }
    if (!started) {
        ::CloseHandle(os_->job);
        throw failure;
    }
    os_->process = process.hProcess;
    if (!::AssignProcessToJobObject(os_->job, process.hProcess)) {
        const Error unassigned = lastError("AssignProcessToJobObject");
        ::TerminateProcess(process.hProcess, 1);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        ::CloseHandle(os_->job);
        throw unassigned;
    }
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
}

ShellProcess::~ShellProcess() {
    if (!waitFor(std::chrono::milliseconds(0))) {
        end(true);
    }
    status();
    ::CloseHandle(os_->process);
    ::CloseHandle(os_->job);
}

bool ShellProcess::waitFor(std::chrono::milliseconds limit) {
    return ::WaitForSingleObject(os_->process,
                                 static_cast<DWORD>(std::max<long long>(
                                     0, std::min<long long>(limit.count(), INFINITE - 1)))) ==
           WAIT_OBJECT_0;
}

void ShellProcess::end(bool) {
    // Windows has no request to end that a console program is sure to get: the job ends at once.
    ::TerminateJobObject(os_->job, 1);
}

int ShellProcess::status() {
    if (!os_->status) {
        ::WaitForSingleObject(os_->process, INFINITE);
        DWORD code = 1;
        ::GetExitCodeProcess(os_->process, &code);
        os_->status = static_cast<int>(code);
    }
    return *os_->status;
}

} // namespace orvendal::watch
