#include "atomicfile.h"

#include "error.h"
#include "plainfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::files {
namespace {

void writeAll(int fd, std::string_view text, const std::string& temporary) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw Error::fromErrno(errno, temporary);
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(fd) != 0) {
        throw Error::fromErrno(errno, temporary);
    }
}

} // namespace

void writeFileAtomically(const std::string& path, std::string_view text) {
    requirePlainFileOrNothing(path, Owner::Us);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
        temporary = temporaryBeside(path, "/");
        fd = ::open(temporary.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        throw Error::fromErrno(errno, "no se puede crear " + temporary);
    }
    try {
        // Readable by all whatever the umask (the service's is 0027): node_exporter, which reads
        // it, runs as another user.
        if (::fchmod(fd, 0644) != 0) {
            throw Error::fromErrno(errno, temporary);
        }
        writeAll(fd, text, temporary);
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0 && errno != EINTR) {
            throw Error::fromErrno(errno, temporary);
        }
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            throw Error::fromErrno(errno, "no se puede renombrar " + temporary + " a " + path);
        }
    } catch (...) {
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(temporary.c_str());
        throw;
    }
}

} // namespace orvendal::files
