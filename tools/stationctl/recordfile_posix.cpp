#include "recordfile.h"

#include "error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orvendal::stationctl {
namespace {

// The descriptor a RecordFile keeps as its handle.
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

bool setLock(int fd, std::uint64_t number, short type) { // false when refused
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(recordOffset(number));
    lock.l_len = static_cast<off_t>(station::kRecordLength);
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    if (errno == EAGAIN || errno == EACCES) {
        return false;
    }
    throw Error::fromErrno(errno, (type == F_UNLCK ? "no se puede desbloquear el registro "
                                                   : "no se puede bloquear el registro ") +
                                      std::to_string(number));
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

RecordFile RecordFile::open(const std::string& path, Access access) {
    requireRegularFile(path);
    // O_NONBLOCK: should a FIFO take the file's place after the check, opening must not hang.
    const int flags =
        (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        throw Error::fromErrno(errno, path);
    }
    RecordFile file(fd);
    requireRegularDescriptor(fd, path);
    return file;
}

RecordFile RecordFile::create(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        if (errno == EEXIST) {
            throw Error(errnoCode(EEXIST), path + " ya existe; create nunca sustituye un fichero");
        }
        throw Error::fromErrno(errno, path);
    }
    return RecordFile(fd);
}

RecordFile::RecordFile(RecordFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

RecordFile& RecordFile::operator=(RecordFile&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) {
            ::close(fd(handle_));
        }
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

RecordFile::~RecordFile() {
    if (handle_ >= 0) {
        ::close(fd(handle_)); // releases every lock of this open file
    }
}

bool RecordFile::tryLock(std::uint64_t number, LockKind kind) {
    return setLock(fd(handle_), number, kind == LockKind::Write ? F_WRLCK : F_RDLCK);
}

void RecordFile::unlock(std::uint64_t number) {
    setLock(fd(handle_), number, F_UNLCK); // never refused
}

std::uint64_t RecordFile::length() const {
    struct stat st {};
    if (::fstat(fd(handle_), &st) != 0) {
        throw Error::fromErrno(errno);
    }
    return static_cast<std::uint64_t>(st.st_size);
}

void RecordFile::resize(std::uint64_t length) {
    if (::ftruncate(fd(handle_), static_cast<off_t>(length)) != 0) {
        throw Error::fromErrno(errno);
    }
}

std::size_t RecordFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
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

void RecordFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
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

} // namespace orvendal::stationctl
