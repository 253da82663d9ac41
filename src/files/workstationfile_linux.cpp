#include "workstationfile.h"

#include "error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orvendal::files {
namespace {

// The descriptor a WorkstationFile keeps as its handle.
int fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

Error notRegular(const std::string& path, mode_t mode) {
    const char* what = S_ISDIR(mode)                    ? "una carpeta"
                       : S_ISFIFO(mode)                 ? "un FIFO"
                       : S_ISSOCK(mode)                 ? "un socket"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "un dispositivo"
                                                        : "algo raro";
    return Error(errc::NotRegularFile,
                 path + " es " + what + ", no un fichero normal: no es un fichero de estaciones");
}

void requireRegularDescriptor(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw Error::fromErrno(errno, path);
    }
    if (!S_ISREG(st.st_mode)) {
        throw notRegular(path, st.st_mode);
    }
}

// F_OFD_SETLK, Linux's: the lock belongs to the open file, not to the process.
bool setLock(int fd, ByteRange range, short type, const std::string& what) { // false when refused
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(range.start);
    lock.l_len = static_cast<off_t>(range.end - range.start);
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    if (errno == EAGAIN || errno == EACCES) {
        return false;
    }
    throw Error::fromErrno(
        errno, (type == F_UNLCK ? "no se puede desbloquear " : "no se puede bloquear ") + what);
}

} // namespace

void requireRegularFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            throw Error(errnoCode(ENOENT), path + " no existe (o es un enlace simbólico roto)");
        }
        throw Error::fromErrno(errno, path);
    }
    if (!S_ISREG(st.st_mode)) {
        throw notRegular(path, st.st_mode);
    }
}

WorkstationFile WorkstationFile::open(const std::string& path, Access access) {
    requireRegularFile(path);
    // O_NONBLOCK: should a FIFO take the file's place after the check, opening must not hang.
    const int flags =
        (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        throw Error::fromErrno(errno, path);
    }
    WorkstationFile file(fd);
    requireRegularDescriptor(fd, path);
    return file;
}

WorkstationFile WorkstationFile::create(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        if (errno == EEXIST) {
            throw Error(errnoCode(EEXIST), path + " ya existe; create nunca sustituye un fichero");
        }
        throw Error::fromErrno(errno, path);
    }
    return WorkstationFile(fd);
}

WorkstationFile::WorkstationFile(WorkstationFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

WorkstationFile& WorkstationFile::operator=(WorkstationFile&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) {
            ::close(fd(handle_));
        }
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

WorkstationFile::~WorkstationFile() {
    if (handle_ >= 0) {
        ::close(fd(handle_)); // releases every lock of this open file
    }
}

bool WorkstationFile::tryLock(ByteRange range, LockKind kind, const std::string& what) {
    return setLock(fd(handle_), range, kind == LockKind::Write ? F_WRLCK : F_RDLCK, what);
}

void WorkstationFile::unlock(ByteRange range, const std::string& what) {
    setLock(fd(handle_), range, F_UNLCK, what); // never refused
}

std::uint64_t WorkstationFile::length() const {
    struct stat st {};
    if (::fstat(fd(handle_), &st) != 0) {
        throw Error::fromErrno(errno);
    }
    return static_cast<std::uint64_t>(st.st_size);
}

void WorkstationFile::resize(std::uint64_t length) {
    if (::ftruncate(fd(handle_), static_cast<off_t>(length)) != 0) {
        throw Error::fromErrno(errno);
    }
}

std::size_t WorkstationFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd(handle_), buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw Error::fromErrno(errno);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void WorkstationFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd(handle_), bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw Error::fromErrno(errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace orvendal::files
