#include "journalclaim.h"

#include "plainfile.h"
#include "sqlitedatabase.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::journal {
namespace {

// OFD locks, never classic POSIX ones: closing any other descriptor of the file would drop a
// classic lock, as it would SQLite's own. For that same reason the descriptor of the database is
// kept open until SQLite's connection is closed.
constexpr off_t kDatabaseClaimByte = off_t{1} << 62;

struct flock claim(short type, bool onDatabase) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = onDatabase ? kDatabaseClaimByte : 0;
    range.l_len = onDatabase ? 1 : 0;
    return range;
}

// The pid padded to a fixed width, so that it replaces an earlier one without truncating the
// lock file, which may only ever be opened; a reader takes the leading digits.
constexpr int kPidWidth = 20;

bool claimed(const std::optional<files::PlainFile>& file, bool onDatabase) {
    struct flock probe = claim(F_WRLCK, onDatabase);
    return file && ::fcntl(file->descriptor(), F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

} // namespace

struct WatcherClaim::Handles {
    files::PlainFile file;
    files::PlainFile database;
};

WatcherClaim::WatcherClaim(const std::string& journal)
    : handles_(
          std::make_unique<Handles>(Handles{files::PlainFile::openForWriting(lockPath(journal)),
                                            files::PlainFile::openForWriting(journal)})) {
    const int fd = handles_->file.descriptor();
    struct flock whole = claim(F_WRLCK, false);
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        const int err = errno;
        char text[kPidWidth + 1] = {};
        const ssize_t n = ::pread(fd, text, kPidWidth, 0);
        const std::string pid(text, std::strspn(text, "0123456789"));
        if (err == EAGAIN || err == EACCES) {
            throw claimedByAnother(journal, n > 0 ? pid : "");
        }
        throw Error::fromErrno(err, "no se puede bloquear " + lockPath(journal));
    }
    struct flock byte = claim(F_WRLCK, true);
    if (::fcntl(handles_->database.descriptor(), F_OFD_SETLK, &byte) != 0) {
        const int err = errno;
        if (err == EAGAIN || err == EACCES) {
            throw claimedByAnother(journal, "");
        }
        throw Error::fromErrno(err, "no se puede bloquear " + journal);
    }
    char pid[kPidWidth + 1];
    std::snprintf(pid, sizeof pid, "%-*d\n", kPidWidth - 1, static_cast<int>(::getpid()));
    // The pid only makes a refusal's message clearer; the lock is what counts.
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid, kPidWidth, 0);
}

WatcherClaim::WatcherClaim(WatcherClaim&&) noexcept = default;
WatcherClaim& WatcherClaim::operator=(WatcherClaim&&) noexcept = default;
WatcherClaim::~WatcherClaim() = default;

files::FileIdentity WatcherClaim::identity() const {
    struct stat st {};
    ::fstat(handles_->database.descriptor(), &st);
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool watcherRunning(const std::string& journal) {
    return claimed(files::PlainFile::openForReading(lockPath(journal)), false) ||
           claimed(files::PlainFile::openForReading(journal), true);
}

long long processId() {
    return ::getpid();
}

bool moveCorruptFile(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    throw Error::fromErrno(errno, "no se puede mover el diario dañado " + from + " a " + to);
}

Folder checkedFolder(const std::string& journal) {
    const std::string folder = std::filesystem::path(journal).parent_path().string();
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) {
        throw Error::fromErrno(errno, folder);
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        throw Error(errnoCode(EPERM), "la carpeta del diario " + folder +
                                          " es de otro usuario (uid " + std::to_string(st.st_uid) +
                                          "), que podría cambiar o quitar el diario; use una "
                                          "carpeta de este usuario");
    }
    // Group members are other users too.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return Folder::Private;
    }
    if ((st.st_mode & S_ISVTX) == 0) {
        throw Error(errnoCode(EPERM), "otros usuarios pueden escribir en la carpeta del diario " +
                                          folder +
                                          " y no tiene el bit sticky: podrían cambiar o quitar "
                                          "el diario; use una carpeta en la que solo escriba "
                                          "este usuario");
    }
    return Folder::Sticky;
}

void takeSideFiles(const std::string& journal) {
    std::error_code none;
    if (std::filesystem::file_size(journal, none) == 0 && !none) {
        // Journal mode OFF writes the header without a side file; WAL then needs none either.
        Database(journal, SQLITE_OPEN_READWRITE)
            .exec("PRAGMA journal_mode = OFF; PRAGMA user_version = 0; PRAGMA journal_mode = WAL;");
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        files::PlainFile::openForWriting(journal + suffix);
    }
}

bool lastingOpenFailure(const std::error_code& code) {
    return code == errnoCode(ELOOP) || code == errnoCode(EPERM) || code == errnoCode(ENOENT) ||
           code == errnoCode(ENOTDIR);
}

} // namespace orvendal::journal
