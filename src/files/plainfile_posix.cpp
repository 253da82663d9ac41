#include "plainfile.h"

#include "error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orvendal::files {
namespace {

Error linkRefused(const std::string& path) {
    return Error(errnoCode(ELOOP), "es un enlace simbólico, que no se sigue: " + path);
}

// Why what lstat or fstat found at `path` may not be used, or nothing when it may.
std::optional<Error> refusal(const struct stat& st, const std::string& path, Owner owner) {
    if (S_ISLNK(st.st_mode)) {
        return linkRefused(path);
    }
    if (!S_ISREG(st.st_mode)) {
        const char* what = S_ISDIR(st.st_mode)                          ? "una carpeta"
                           : S_ISFIFO(st.st_mode)                       ? "una FIFO"
                           : S_ISSOCK(st.st_mode)                       ? "un socket"
                           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "un dispositivo"
                                                                        : "algo raro";
        return Error(errc::NotRegularFile,
                     std::string("es ") + what + ", no un fichero normal: " + path);
    }
    if (owner == Owner::Us && st.st_uid != ::geteuid()) {
        return Error(errnoCode(EPERM), "es de otro usuario (uid " + std::to_string(st.st_uid) +
                                           "), no del que ejecuta el programa: " + path);
    }
    return std::nullopt;
}

// `fd`, once fstat finds what refusal() lets through; closed otherwise.
int checked(int fd, const std::string& path, Owner owner) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw Error::fromErrno(err, path);
    }
    if (auto refused = refusal(st, path, owner)) {
        ::close(fd);
        throw *refused;
    }
    return fd;
}

// O_NOFOLLOW fails with ELOOP on a link; said so, since strerror's words do not name the link.
Error openError(int err, const std::string& path) {
    return err == ELOOP ? linkRefused(path) : Error::fromErrno(err, path);
}

// O_NONBLOCK: a FIFO must not hold the open until a writer comes. O_NOCTTY: a terminal never
// becomes ours.
constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

} // namespace

void requirePlainFileOrNothing(const std::string& path, Owner owner) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throw Error::fromErrno(errno, path);
    }
    if (auto refused = refusal(st, path, owner)) {
        throw *refused;
    }
}

PlainFile PlainFile::openForWriting(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | kOpenFlags, 0644);
    if (fd < 0) {
        throw openError(errno, path);
    }
    return PlainFile(checked(fd, path, Owner::Us));
}

std::optional<PlainFile> PlainFile::openForReading(const std::string& path, Owner owner) {
    const int fd = ::open(path.c_str(), O_RDONLY | kOpenFlags);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw openError(errno, path);
    }
    return PlainFile(checked(fd, path, owner));
}

PlainFile::PlainFile(PlainFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

PlainFile& PlainFile::operator=(PlainFile&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

PlainFile::~PlainFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string readAtMost(int fd, std::size_t limit, std::string_view what, const std::string& path) {
    const auto refusal = [&](int err, const std::string& why) {
        return Error(errnoCode(err), std::string(what) + " " + why + ": " + path);
    };
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            throw refusal(err, "no se puede leer (" + std::string(std::strerror(err)) + ")");
        }
        if (n == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit) {
            throw refusal(EFBIG, "pasa de " + std::to_string(limit) + " bytes");
        }
    }
}

} // namespace orvendal::files
