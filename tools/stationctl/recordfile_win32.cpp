#include "recordfile.h"

#include "error.h"
#include "win32error.h"
#include "win32text.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace orvendal::stationctl {
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
            throw Error(files::win32Code(code), path + " no existe");
        }
        throw files::lastWindowsError(path);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw notRegular(path, "una carpeta");
    }
}

RecordFile RecordFile::open(const std::string& path, Access access) {
    requireRegularFile(path);
    const DWORD wanted = GENERIC_READ | (access == Access::ReadWrite ? GENERIC_WRITE : 0);
    const HANDLE handle = ::CreateFileW(files::wide(path).c_str(), wanted, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw files::lastWindowsError(path);
    }
    RecordFile file(reinterpret_cast<std::intptr_t>(handle));
    // NUL, CON or COM1 open like files, and pass the attribute check, but are none.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        throw notRegular(path, "un dispositivo");
    }
    return file;
}

RecordFile RecordFile::create(const std::string& path) {
    const HANDLE handle =
        ::CreateFileW(files::wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
            throw Error(files::win32Code(code),
                        path + " ya existe; create nunca sustituye un fichero");
        }
        throw files::lastWindowsError(path);
    }
    return RecordFile(reinterpret_cast<std::intptr_t>(handle));
}

RecordFile::RecordFile(RecordFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)) {}

RecordFile& RecordFile::operator=(RecordFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) {
            ::CloseHandle(native(handle_));
        }
        handle_ = std::exchange(other.handle_, kNoHandle);
    }
    return *this;
}

RecordFile::~RecordFile() {
    if (handle_ != kNoHandle) {
        ::CloseHandle(native(handle_)); // releases every lock of this handle
    }
}

bool RecordFile::tryLock(std::uint64_t number, LockKind kind) {
    OVERLAPPED where = at(recordOffset(number));
    const DWORD flags =
        LOCKFILE_FAIL_IMMEDIATELY | (kind == LockKind::Write ? LOCKFILE_EXCLUSIVE_LOCK : DWORD{0});
    if (::LockFileEx(native(handle_), flags, 0, station::kRecordLength, 0, &where)) {
        return true;
    }
    if (::GetLastError() == ERROR_LOCK_VIOLATION) {
        return false;
    }
    throw files::lastWindowsError("no se puede bloquear el registro " + std::to_string(number));
}

void RecordFile::unlock(std::uint64_t number) {
    OVERLAPPED where = at(recordOffset(number));
    // A record that was never locked is not an error, as with fcntl's F_UNLCK.
    if (!::UnlockFileEx(native(handle_), 0, station::kRecordLength, 0, &where) &&
        ::GetLastError() != ERROR_NOT_LOCKED) {
        throw files::lastWindowsError("no se puede desbloquear el registro " +
                                      std::to_string(number));
    }
}

std::uint64_t RecordFile::length() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(native(handle_), &size)) {
        throw files::lastWindowsError();
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

void RecordFile::resize(std::uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFileInformationByHandle(native(handle_), FileEndOfFileInfo, &end, sizeof end)) {
        throw files::lastWindowsError();
    }
}

std::size_t RecordFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        OVERLAPPED where = at(offset + done);
        DWORD got = 0;
        if (!::ReadFile(native(handle_), buffer.data() + done, chunk(buffer.size() - done), &got,
                        &where)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            throw files::lastWindowsError();
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

void RecordFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        OVERLAPPED where = at(offset + done);
        DWORD put = 0;
        if (!::WriteFile(native(handle_), bytes.data() + done, chunk(bytes.size() - done), &put,
                         &where)) {
            throw files::lastWindowsError();
        }
        done += put;
    }
}

} // namespace orvendal::stationctl
