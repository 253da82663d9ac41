#include "journalclaim.h"

#include "plainfile.h"
#include "win32error.h"
#include "win32text.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace orvendal::journal {
namespace {

// Windows locks are mandatory: a lock on the pid's bytes would keep another watcher from reading
// them. Both claims are therefore on one byte far past the pid and past SQLite's own locks (at
// 1 GiB), which no file of the journal reaches.
constexpr unsigned long long kClaimByte = 1ULL << 62;

constexpr int kPidWidth = 20;

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    Handle& operator=(Handle&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h_);
        }
    }
    HANDLE get() const { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

OVERLAPPED at(unsigned long long offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// `path` opened without following a link at its place (FILE_FLAG_OPEN_REPARSE_POINT opens the
// link itself, refused then), and checked on the handle to be a regular file. For writing it is
// created when missing and never truncated; for reading, none when nothing is there. SQLite opens
// the database too, so every sharing is allowed.
std::optional<Handle> openPlain(const std::string& path, bool forWriting) {
    files::requirePlainFileOrNothing(path, files::Owner::Us);
    Handle file(::CreateFileW(files::wide(path).c_str(),
                              forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              forWriting ? OPEN_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (!forWriting && (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)) {
            return std::nullopt;
        }
        throw files::lastWindowsError(path);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        throw Error(errc::NotRegularFile, "no es un fichero normal: " + path);
    }
    return file;
}

// Takes the claim's byte of `file`: false when another process holds it.
bool lockClaim(const Handle& file, bool exclusive, const std::string& path) {
    OVERLAPPED where = at(kClaimByte);
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (::LockFileEx(file.get(), flags, 0, 1, 0, &where)) {
        return true;
    }
    if (::GetLastError() == ERROR_LOCK_VIOLATION) {
        return false;
    }
    throw files::lastWindowsError("no se puede bloquear " + path);
}

// Whether another process holds the claim's byte of `file`. Windows has no test for a lock
// short of taking it: a shared lock is taken and let go at once. A watcher that starts in that
// instant is refused as if another ran, and is started again.
bool claimed(const std::optional<Handle>& file, const std::string& path) {
    if (!file) {
        return false;
    }
    if (!lockClaim(*file, false, path)) {
        return true;
    }
    OVERLAPPED where = at(kClaimByte);
    ::UnlockFileEx(file->get(), 0, 1, 0, &where);
    return false;
}

} // namespace

struct WatcherClaim::Handles {
    Handle file;
    Handle database;
};

WatcherClaim::WatcherClaim(const std::string& journal)
    : handles_(std::make_unique<Handles>(
          Handles{*openPlain(lockPath(journal), true), *openPlain(journal, true)})) {
    const HANDLE file = handles_->file.get();
    if (!lockClaim(handles_->file, true, lockPath(journal))) {
        char text[kPidWidth + 1] = {};
        DWORD n = 0;
        OVERLAPPED start = at(0);
        const bool read = ::ReadFile(file, text, kPidWidth, &n, &start) && n > 0;
        throw claimedByAnother(journal,
                               read ? std::string(text, std::strspn(text, "0123456789")) : "");
    }
    if (!lockClaim(handles_->database, true, journal)) {
        throw claimedByAnother(journal, "");
    }
    char pid[kPidWidth + 1];
    std::snprintf(pid, sizeof pid, "%-*lu\n", kPidWidth - 1, ::GetCurrentProcessId());
    // The pid only makes a refusal's message clearer; the lock is what counts.
    DWORD written = 0;
    OVERLAPPED start = at(0);
    ::WriteFile(file, pid, kPidWidth, &written, &start);
}

WatcherClaim::WatcherClaim(WatcherClaim&&) noexcept = default;
WatcherClaim& WatcherClaim::operator=(WatcherClaim&&) noexcept = default;
WatcherClaim::~WatcherClaim() = default;

files::FileIdentity WatcherClaim::identity() const {
    BY_HANDLE_FILE_INFORMATION info{};
    ::GetFileInformationByHandle(handles_->database.get(), &info);
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool watcherRunning(const std::string& journal) {
    return claimed(openPlain(lockPath(journal), false), lockPath(journal)) ||
           claimed(openPlain(journal, false), journal);
}

long long processId() {
    return ::GetCurrentProcessId();
}

bool moveCorruptFile(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING a file at `to` makes it fail.
    if (::MoveFileExW(files::wide(from).c_str(), files::wide(to).c_str(), 0)) {
        return true;
    }
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
        return false;
    }
    throw files::lastWindowsError("no se puede mover el diario dañado " + from + " a " + to);
}

// NTFS has no sticky bit, and who may add or replace files in a folder is its ACL's to say:
// that is not read here, so every folder counts as private.
Folder checkedFolder(const std::string&) {
    return Folder::Private;
}

void takeSideFiles(const std::string&) {}

bool lastingOpenFailure(const std::error_code& code) {
    using files::win32Code;
    return code == win32Code(ERROR_FILE_NOT_FOUND) || code == win32Code(ERROR_PATH_NOT_FOUND) ||
           code == win32Code(ERROR_CANT_RESOLVE_FILENAME) ||
           code == win32Code(ERROR_INVALID_NAME) || code == win32Code(ERROR_DIRECTORY);
}

} // namespace orvendal::journal
