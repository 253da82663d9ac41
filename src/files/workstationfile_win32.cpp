#include "workstationfile.h"

#include "error.h"
#include "win32error.h"
#include "win32text.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace orvendal::files {
namespace {

constexpr std::intptr_t kNoHandle = -1; // INVALID_HANDLE_VALUE

HANDLE native(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

Error notRegular(const std::string& path, const char* what) {
    return Error(errc::NotRegularFile,
                 path + " es " + what + ", no un fichero normal: no es un fichero de estaciones");
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// A range's length in the two halves LockFileEx takes.
DWORD low(ByteRange range) {
    return static_cast<DWORD>(range.end - range.start);
}
DWORD high(ByteRange range) {
    return static_cast<DWORD>((range.end - range.start) >> 32);
}

DWORD chunk(std::size_t left) {
    return static_cast<DWORD>(std::min<std::size_t>(left, std::numeric_limits<DWORD>::max()));
}

// Shared every way, as the workstations and the monitor open it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

void requireRegularFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(files::wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            throw Error(win32Code(code), path + " no existe");
        }
        throw lastWindowsError(path);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw notRegular(path, "una carpeta");
    }
}

WorkstationFile WorkstationFile::open(const std::string& path, Access access) {
    requireRegularFile(path);
    const DWORD wanted = GENERIC_READ | (access == Access::ReadWrite ? GENERIC_WRITE : 0);
    const HANDLE handle = ::CreateFileW(files::wide(path).c_str(), wanted, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw lastWindowsError(path);
    }
    WorkstationFile file(reinterpret_cast<std::intptr_t>(handle));
    // NUL, CON or COM1 open like files, and pass the attribute check, but are none.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        throw notRegular(path, "un dispositivo");
    }
    return file;
}

WorkstationFile WorkstationFile::create(const std::string& path) {
    const HANDLE handle = ::CreateFileW(files::wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
            throw Error(win32Code(code), path + " ya existe; create nunca sustituye un fichero");
        }
        throw lastWindowsError(path);
    }
    return WorkstationFile(reinterpret_cast<std::intptr_t>(handle));
}

WorkstationFile::WorkstationFile(WorkstationFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)) {}

WorkstationFile& WorkstationFile::operator=(WorkstationFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) {
            ::CloseHandle(native(handle_));
        }
        handle_ = std::exchange(other.handle_, kNoHandle);
    }
    return *this;
}

WorkstationFile::~WorkstationFile() {
    if (handle_ != kNoHandle) {
        ::CloseHandle(native(handle_)); // releases every lock of this handle
    }
}

bool WorkstationFile::tryLock(ByteRange range, LockKind kind, const std::string& what) {
    OVERLAPPED where = at(range.start);
    const DWORD flags =
        LOCKFILE_FAIL_IMMEDIATELY | (kind == LockKind::Write ? LOCKFILE_EXCLUSIVE_LOCK : DWORD{0});
    if (::LockFileEx(native(handle_), flags, 0, low(range), high(range), &where)) {
        return true;
    }
    if (::GetLastError() == ERROR_LOCK_VIOLATION) {
        return false;
    }
    throw lastWindowsError("no se puede bloquear " + what);
}

void WorkstationFile::unlock(ByteRange range, const std::string& what) {
    OVERLAPPED where = at(range.start);
    // A range that was never locked is not an error, as with fcntl's F_UNLCK.
    if (!::UnlockFileEx(native(handle_), 0, low(range), high(range), &where) &&
        ::GetLastError() != ERROR_NOT_LOCKED) {
        throw lastWindowsError("no se puede desbloquear " + what);
    }
}

std::uint64_t WorkstationFile::length() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(native(handle_), &size)) {
        throw lastWindowsError();
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

void WorkstationFile::resize(std::uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFileInformationByHandle(native(handle_), FileEndOfFileInfo, &end, sizeof end)) {
        throw lastWindowsError();
    }
}

std::size_t WorkstationFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        OVERLAPPED where = at(offset + done);
        DWORD got = 0;
        if (!::ReadFile(native(handle_), buffer.data() + done, chunk(buffer.size() - done), &got,
                        &where)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            throw lastWindowsError();
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

void WorkstationFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        OVERLAPPED where = at(offset + done);
        DWORD put = 0;
        if (!::WriteFile(native(handle_), bytes.data() + done, chunk(bytes.size() - done), &put,
                         &where)) {
            throw lastWindowsError();
        }
        done += put;
    }
}

} // namespace orvendal::files
