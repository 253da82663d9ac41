#include "error.h"
#include "fileaccess.h"
#include "smbfile.h"
#include "smburl.h"
#include "win32error.h"
#include "win32text.h"

#include <limits>
#include <string>
#include <utility>

namespace orvendal::files {
namespace {

// The form of `path` that the file calls take at any length. A path of MAX_PATH characters or
// more opens only with the \\?\ prefix (\\?\UNC\ for a server's share), unless the manifest's
// longPathAware and the system's LongPathsEnabled both allow it. A prefixed path is taken as it
// is, so it is made absolute, with backslashes only, first.
std::wstring systemPath(const std::string& path) {
    const std::wstring given = files::wide(path);
    if (given.starts_with(LR"(\\?\)") || given.starts_with(LR"(\\.\)")) {
        return given;
    }
    std::wstring full(given.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) {
            return given;
        }
        const bool fits = n < full.size();
        full.resize(n);
        if (fits) {
            break;
        }
    }
    // Short paths stay as given: a device name such as NUL must keep its meaning.
    if (full.size() < MAX_PATH || full.starts_with(LR"(\\.\)")) {
        return given;
    }
    if (full.starts_with(LR"(\\)")) {
        return LR"(\\?\UNC\)" + full.substr(2);
    }
    return LR"(\\?\)" + full;
}

HANDLE openReadOnly(const std::wstring& path) {
    // Shared every way: workstations write, lock and may even rename the file while it is open.
    return ::CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Windows byte-range locks are mandatory: a read of a range of which another process holds any
// byte locked fails with ERROR_LOCK_VIOLATION, and that failure is the only way to see the lock.
// Never probe with LockFileEx: it takes the lock, and a lock held by the monitor even for a
// moment can make a workstation's own attempt to lock its record fail.
class WindowsFile final : public FileAccess {
public:
    WindowsFile(HANDLE handle, std::uint64_t length)
        : FileAccess(length, LockDetection::ReadFailure), handle_(handle) {}
    ~WindowsFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }

    void close() override {
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE && !::CloseHandle(handle)) {
            throw lastWindowsError();
        }
    }

    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            OVERLAPPED at{};
            const std::uint64_t position = offset + done;
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
            const DWORD wanted = static_cast<DWORD>(
                std::min<std::size_t>(buffer.size() - done, std::numeric_limits<DWORD>::max()));
            DWORD got = 0;
            if (!::ReadFile(handle_, buffer.data() + done, wanted, &got, &at)) {
                const DWORD code = ::GetLastError();
                if (code == ERROR_LOCK_VIOLATION) {
                    return std::nullopt;
                }
                if (code == ERROR_HANDLE_EOF) {
                    break;
                }
                ::SetLastError(code);
                throw lastWindowsError();
            }
            if (got == 0) {
                break;
            }
            done += got;
        }
        return done;
    }

    std::optional<ByteRange> findLock(std::uint64_t, std::uint64_t) override {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        throw lastWindowsError();
    }

private:
    HANDLE handle_;
};

// Windows reaches a file server by the UNC path (\\server\share\MARLOVEN.SIT) with the user's own
// log-on; smb:// URLs and credentials files are for Linux desktops without a mount.
Error smbUrlRefused(const std::string& what) {
    return Error(win32Code(ERROR_NOT_SUPPORTED),
                 "en Windows el fichero de un servidor se indica con su ruta UNC "
                 "(\\\\servidor\\recurso\\MARLOVEN.SIT): " +
                     what);
}

} // namespace

void useCredentialsFile(const std::string& path) {
    throw smbUrlRefused(path);
}

void requireSmbRegularFile(const std::string& url) {
    throw smbUrlRefused(url);
}

std::unique_ptr<FileAccess> openFileAccess(const std::string& path, Missing missing) {
    if (isSmbPath(path)) {
        throw smbUrlRefused(path);
    }
    const std::wstring wide = systemPath(path);
    HANDLE handle = openReadOnly(wide);
    // A missing file is created empty, then opened like any other. CREATE_NEW: when another
    // process creates it first we open theirs. The file may vanish again between the two opens,
    // hence the few rounds.
    for (int round = 0; missing == Missing::Create && handle == INVALID_HANDLE_VALUE &&
                        ::GetLastError() == ERROR_FILE_NOT_FOUND && round < 3;
         ++round) {
        const HANDLE created = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created != INVALID_HANDLE_VALUE) {
            ::CloseHandle(created);
        } else if (::GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
        handle = openReadOnly(wide);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        throw lastWindowsError(path);
    }
    // A console, printer port or pipe opens like a file but is none.
    const bool disk = ::GetFileType(handle) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (disk && (!::GetFileInformationByHandle(handle, &info) || !::GetFileSizeEx(handle, &size))) {
        const Error failure = lastWindowsError(path);
        ::CloseHandle(handle);
        throw failure;
    }
    auto file = std::make_unique<WindowsFile>(handle, static_cast<std::uint64_t>(size.QuadPart));
    if (!disk || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw Error::of(errc::NotRegularFile, path);
    }
    return file;
}

const char kPathSeparator = '\\';

std::string executableDirectory() {
    std::wstring image(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, image.data(), static_cast<DWORD>(image.size()));
        if (n == 0) {
            throw lastWindowsError();
        }
        if (n < image.size()) {
            image.resize(n);
            break;
        }
        image.resize(image.size() * 2);
    }
    std::wstring folder = image.substr(0, image.rfind(L'\\'));
    // A drive's root keeps its backslash ("C:\"), so the station file there is "C:\\MARLOVEN.SIT".
    if (folder.size() == 2 && folder[1] == L':') {
        folder += L'\\';
    }
    return files::narrow(folder);
}

bool regularFileExists(const std::string& path) {
    // A hidden or system file does not count, nor does a folder.
    const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

} // namespace orvendal::files
