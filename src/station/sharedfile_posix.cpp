#include "sharedfile.h"

#include "error.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orvendal::station {
namespace {

int openReadOnly(const std::string& path) {
    // O_NONBLOCK: a FIFO at the station path must not hang the monitor until a writer comes.
    // O_NOCTTY: a terminal device must not become our controlling terminal. Never O_TRUNC: it
    // truncates even a read-only open.
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

} // namespace

SharedFile SharedFile::open(const std::string& path) {
    int fd = openReadOnly(path);
    // A missing file is created empty, then opened like any other. O_EXCL: when another process
    // creates it first we open theirs, and a dangling symbolic link is never followed to create
    // its target. The file may vanish again between the two opens, hence the few rounds.
    for (int round = 0; fd < 0 && errno == ENOENT && round < 3; ++round) {
        const int created =
            ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (created >= 0) {
            ::close(created);
        } else if (errno != EEXIST) {
            break;
        }
        fd = openReadOnly(path);
    }
    if (fd < 0) {
        throw Error::fromErrno(errno, path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw Error::fromErrno(err, path);
    }
    SharedFile file(fd, static_cast<std::uint64_t>(st.st_size));
    if (!S_ISREG(st.st_mode)) {
        throw Error::of(errc::NotRegularFile, path);
    }
    return file;
}

SharedFile::SharedFile(SharedFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), length_(other.length_) {}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
        length_ = other.length_;
    }
    return *this;
}

SharedFile::~SharedFile() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

void SharedFile::close() {
    // The descriptor is gone after close() whatever it returns, so it is never closed twice.
    const int fd = std::exchange(descriptor_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        throw Error::fromErrno(errno);
    }
}

std::size_t SharedFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(descriptor_, buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Error::fromErrno(errno);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Why F_OFD_GETLK with F_WRLCK, and nothing else:
// - A probe must never take a lock (no F_SETLK, no flock): a lock held by the monitor even for a
//   moment can make a workstation's own attempt to lock its record fail.
// - A write-lock probe conflicts with every lock of another owner, read locks included; a
//   read-lock probe would miss stations that hold read locks.
// - OFD probes also see OFD locks and classic locks of other processes; classic F_GETLK would
//   not see locks taken through another descriptor of this very process.
// - flock() locks live in another table and are invisible to this probe: workstations must lock
//   their records with fcntl byte-range locks.
// - It works on a read-only descriptor; l_pid must be 0 on input.
std::optional<ByteRange> SharedFile::findLock(std::uint64_t start, std::uint64_t length) const {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = static_cast<off_t>(start);
    probe.l_len = static_cast<off_t>(length);
    probe.l_pid = 0;
    if (::fcntl(descriptor_, F_OFD_GETLK, &probe) != 0) {
        throw Error::fromErrno(errno);
    }
    if (probe.l_type == F_UNLCK) {
        return std::nullopt;
    }
    const auto lockStart = static_cast<std::uint64_t>(probe.l_start);
    const std::uint64_t lockEnd = probe.l_len == 0
                                      ? std::numeric_limits<std::uint64_t>::max()
                                      : lockStart + static_cast<std::uint64_t>(probe.l_len);
    return ByteRange{lockStart, lockEnd};
}

const char kPathSeparator = '/';

std::string executableDirectory() {
    std::string image(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", image.data(), image.size());
    if (n < 0) {
        throw Error::fromErrno(errno, "/proc/self/exe");
    }
    image.resize(static_cast<std::size_t>(n));
    const auto slash = image.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : image.substr(0, slash);
}

bool regularFileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace orvendal::station
