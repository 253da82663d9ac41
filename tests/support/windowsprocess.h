#pragma once

#include "text.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

// Windows counterparts of the POSIX test helpers: scratch folders, other processes, and telling
// Wine from Windows.
namespace orvendal::testing {

inline std::wstring wide(const std::string& utf8) {
    const std::u16string text = fromUtf8(utf8);
    return {text.begin(), text.end()};
}

inline std::string utf8(const std::wstring& text) {
    return toUtf8(std::u16string(text.begin(), text.end()));
}

// True under Wine, which tells itself apart by an export of its ntdll that Windows lacks.
inline bool runningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A fresh folder in the user's temporary folder, removed with everything in it afterwards.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1];
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
        if (n == 0 || n > MAX_PATH) {
            throw std::runtime_error("GetTempPathW failed");
        }
        for (unsigned attempt = 0;; ++attempt) {
            path_ = std::wstring(base) + L"orvendal-" + std::to_wstring(::GetCurrentProcessId()) +
                    L"-" + std::to_wstring(::GetTickCount64() + attempt);
            if (::CreateDirectoryW(path_.c_str(), nullptr)) {
                break;
            }
            if (::GetLastError() != ERROR_ALREADY_EXISTS || attempt > 100) {
                throw std::runtime_error("CreateDirectoryW failed");
            }
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() { removeTree(path_); }

    const std::wstring& path() const { return path_; }
    std::string file(const std::wstring& name) const { return utf8(path_ + L"\\" + name); }

private:
    static void removeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                const std::wstring path = folder + L"\\" + name;
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    removeTree(path);
                } else {
                    ::DeleteFileW(path.c_str());
                }
            } while (::FindNextFileW(find, &entry));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
};

// Another process, its standard input and output (with its errors) piped to the test. Ending the
// input is how the tests ask a holder of locks to let go.
class ChildProcess {
public:
    // `flags` are CreateProcessW's (CREATE_NEW_PROCESS_GROUP for one that stop() may stop).
    ChildProcess(const std::wstring& program, const std::vector<std::string>& arguments,
                 DWORD flags = 0) {
        std::wstring commandLine = quoted(program);
        for (const std::string& argument : arguments) {
            commandLine += L" " + quoted(wide(argument));
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE childInput = nullptr;
        HANDLE childOutput = nullptr;
        if (!::CreatePipe(&childInput, &input_, &inherit, 0) ||
            !::CreatePipe(&output_, &childOutput, &inherit, 0)) {
            throw std::runtime_error("CreatePipe failed");
        }
        // Only the child's ends are inherited, or its input would never end.
        ::SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = childOutput;
        PROCESS_INFORMATION info{};
        const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                              flags, nullptr, nullptr, &startup, &info);
        ::CloseHandle(childInput);
        ::CloseHandle(childOutput);
        if (!started) {
            closeInput();
            ::CloseHandle(output_);
            throw std::runtime_error("cannot start " + utf8(commandLine));
        }
        ::CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        closeInput();
        if (::WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_, 1);
            ::WaitForSingleObject(process_, INFINITE);
        }
        ::CloseHandle(process_);
        ::CloseHandle(output_);
    }

    // The next line of output without its line break; what is left when the output ends first.
    std::string readLine() {
        std::string line;
        char c = 0;
        DWORD got = 0;
        while (::ReadFile(output_, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
            if (c != '\r') {
                line += c;
            }
        }
        return line;
    }

    // Asks a process started with CREATE_NEW_PROCESS_GROUP, on this process's console, to stop
    // as Ctrl+Break at its console does.
    bool stop() { return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_) != 0; }

    // Ends the process at once, as a crash or Task Manager's End task does: nothing of its own
    // runs after.
    void terminate() {
        ::TerminateProcess(process_, 9);
        ::WaitForSingleObject(process_, INFINITE);
    }

    void closeInput() {
        if (input_ != nullptr) {
            ::CloseHandle(input_);
            input_ = nullptr;
        }
    }

    // Waits for the end of the process: all its output and its exit code.
    std::pair<std::string, DWORD> finish() {
        closeInput();
        std::string output;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(output_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            output.append(buffer, got);
        }
        ::WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process_, &code);
        return {output, code};
    }

private:
    // Quoted as CommandLineToArgvW and the C runtime read it back.
    static std::wstring quoted(const std::wstring& argument) {
        std::wstring out = L"\"";
        std::size_t backslashes = 0;
        for (const wchar_t c : argument) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
            backslashes = 0;
            out += c;
        }
        out.append(2 * backslashes, L'\\');
        return out + L"\"";
    }

    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
};

} // namespace orvendal::testing
