#include "error.h"
#include "fileaccess.h"
#include "localfilesystem.h"
#include "proclocks.h"
#include "smbclientlibrary.h"
#include "smbfile.h"
#include "smburl.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace orvendal::files {
namespace {

int openReadOnly(const std::string& path) {
    // O_NONBLOCK: a FIFO at the station path must not hang the monitor until a writer comes.
    // O_NOCTTY: a terminal device must not become our controlling terminal. Never O_TRUNC: it
    // truncates even a read-only open.
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

// Where every lock that can stop a workstation is one this kernel holds, under the same device
// number that fstat() reports: ext2/3/4, XFS and tmpfs. Not NFS, CIFS or FUSE, whose other
// clients' locks live on a server, nor btrfs, whose fstat() reports a subvolume's device while
// /proc/locks names the file system's.
bool kernelTableHoldsEveryLock(std::int64_t fileSystemType) {
    constexpr std::int64_t kExt4Magic = 0xEF53;
    constexpr std::int64_t kXfsMagic = 0x58465342;
    constexpr std::int64_t kTmpfsMagic = 0x01021994;
    return fileSystemType == kExt4Magic || fileSystemType == kXfsMagic ||
           fileSystemType == kTmpfsMagic;
}

// A file of this machine's kernel: a local disk, or a network file system it has mounted.
class LocalFile final : public FileAccess {
public:
    LocalFile(int descriptor, const struct stat& st, std::int64_t fileSystemType)
        : FileAccess(static_cast<std::uint64_t>(st.st_size), lockDetectionOf(fileSystemType)),
          descriptor_(descriptor), device_(st.st_dev), inode_(st.st_ino),
          tableComplete_(kernelTableHoldsEveryLock(fileSystemType)) {}
    ~LocalFile() override {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }

    void close() override {
        // The descriptor is gone after close() whatever it returns, so it is never closed twice.
        const int fd = std::exchange(descriptor_, -1);
        if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
            throw Error::fromErrno(errno);
        }
    }

    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::pread(descriptor_, buffer.data() + done, buffer.size() - done,
                                      static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                // The SMB client reports a read refused by another client's lock as EACCES.
                if (errno == EACCES && lockDetection() == LockDetection::ReadFailure) {
                    return std::nullopt;
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

    std::optional<ByteRange> findLock(std::uint64_t start, std::uint64_t length) override;
    LockTable lockTable(std::size_t maxOwnLocks) override;

private:
    int descriptor_;
    dev_t device_;
    ino_t inode_;
    bool tableComplete_;
};

// Bounds of one read of /proc/locks. The kernel makes the table a page (about 65 lines) per read(),
// and for each page takes its lock table's write lock, which waits for the other CPUs (about 2 ms
// here, holding up every program's lock calls meanwhile), and walks the table from its start to
// that page: a read costs with every lock of the machine, any user's, and grows with their square.
// Measured on the development machine (2 shared cores, busy), lines of another user's locks on its
// own files: 10,000 read in 0.3 s (0.02 s of CPU), 50,000 in 1.7 to 2.6 s, 100,000 in 8 to 14 s
// (3.6 to 5.6 s of CPU), 300,000 in 108 s (45 s of CPU). See docs/performance.md.
//
// Lines of other files allowed beyond this file's own: the machine's usual locks (about 1,500 on
// the busiest measured, a few dozen here) with room to spare. 4,096 lines are about 63 pages, some
// 0.13 s: what another user can add to a refresh before the table is given up.
constexpr std::size_t kOtherLines = 4096;
// Time allowed for the pages that hold no lock of this file. Pages of this file's own locks are
// the work the table is read for, whatever they cost: giving them up would leave the probes, which
// cost far more for the same locks. A page took about 2 ms on the busy machine; 250 ms is half the
// default refresh interval, so a read given up and the probes after it fit one refresh.
constexpr std::chrono::milliseconds kForeignPagesTime{250};
// The kernel's lines are under 100 bytes; a longer one is no table of locks.
constexpr std::size_t kLongestLine = 1024;

// The classic locks of processes outside /proc's pid namespace are left out of /proc/locks
// (measured: a host process's lock is missing under `unshare -p -f --mount-proc`; OFD locks, shown
// with pid -1, stay), so only the initial namespace's /proc lists them all. That namespace's inode
// number is fixed (PROC_PID_INIT_INO); /proc/self is missing from a /proc of another namespace.
bool procListsEveryProcess() {
    constexpr ino_t kInitialPidNamespace = 0xEFFFFFFC;
    struct stat st {};
    return ::stat("/proc/self/ns/pid", &st) == 0 && st.st_ino == kInitialPidNamespace;
}

LockTable givenUp(LockTable::Outcome outcome, std::string problem) {
    return {outcome, {}, std::move(problem)};
}

// /proc/locks lists every POSIX and OFD lock of this kernel; as the probe, it is matched by device
// and inode, never by path. Read a page at a time and parsed as it comes: only this file's ranges
// are kept, so memory follows this file's locks, not the machine's.
LockTable LocalFile::lockTable(std::size_t maxOwnLocks) {
    static const bool everyProcess = procListsEveryProcess();
    if (!tableComplete_ || !everyProcess) {
        return {};
    }
    using Outcome = LockTable::Outcome;
    using Clock = std::chrono::steady_clock;
    const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return givenUp(Outcome::Unreadable, Error::fromErrno(errno, "/proc/locks").description());
    }
    const struct Closing {
        int fd;
        ~Closing() { ::close(fd); }
    } closing{fd};
    LockTableLines lines(major(device_), minor(device_), inode_);
    std::vector<char> buffer(65536);
    std::size_t kept = 0;
    Clock::duration foreignPages{};
    while (true) {
        const auto pageStarted = Clock::now();
        const std::size_t ownBefore = lines.locks().size();
        const ssize_t n = ::read(fd, buffer.data() + kept, buffer.size() - kept);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return givenUp(Outcome::Unreadable,
                           Error::fromErrno(errno, "/proc/locks").description());
        }
        const std::size_t filled = kept + static_cast<std::size_t>(n);
        const std::string_view text(buffer.data(), filled);
        // The whole lines now, the rest with the next page; at the end, all of it.
        const std::size_t lastNewline = text.rfind('\n');
        const std::size_t whole = n == 0                                  ? filled
                                  : lastNewline == std::string_view::npos ? 0
                                                                          : lastNewline + 1;
        if (!lines.add(text.substr(0, whole))) {
            return givenUp(Outcome::Unreadable,
                           "/proc/locks da un rango ilegible para el fichero de estaciones");
        }
        if (n == 0) {
            break;
        }
        kept = filled - whole;
        if (kept > kLongestLine) {
            return givenUp(Outcome::Unreadable, "/proc/locks tiene una línea de más de " +
                                                    std::to_string(kLongestLine) + " bytes");
        }
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(whole),
                  buffer.begin() + static_cast<std::ptrdiff_t>(filled), buffer.begin());
        const std::size_t own = lines.locks().size();
        if (own > maxOwnLocks) {
            return givenUp(Outcome::TooLarge, "/proc/locks tiene más de " +
                                                  std::to_string(maxOwnLocks) +
                                                  " bloqueos del fichero de estaciones");
        }
        if (lines.otherLines() > own + kOtherLines) {
            return givenUp(Outcome::TooLarge, "/proc/locks tiene más de " +
                                                  std::to_string(own + kOtherLines) +
                                                  " líneas de otros ficheros, y " +
                                                  std::to_string(own) + " del de estaciones");
        }
        if (own == ownBefore) {
            foreignPages += Clock::now() - pageStarted;
        }
        if (foreignPages > kForeignPagesTime) {
            return givenUp(Outcome::TooSlow,
                           "las páginas de /proc/locks sin bloqueos del fichero de estaciones han "
                           "tardado más de " +
                               std::to_string(kForeignPagesTime.count()) + " ms");
        }
    }
    return {Outcome::Listed, lines.takeLocks(), {}};
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
std::optional<ByteRange> LocalFile::findLock(std::uint64_t start, std::uint64_t length) {
    if (lockDetection() != LockDetection::Probe) {
        throw Error::fromErrno(ENOTSUP);
    }
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

std::unique_ptr<FileAccess> openLocalFile(const std::string& path, Missing missing) {
    int fd = openReadOnly(path);
    // A missing file is created empty, then opened like any other. O_EXCL: when another process
    // creates it first we open theirs, and a dangling symbolic link is never followed to create
    // its target. The file may vanish again between the two opens, hence the few rounds.
    for (int round = 0; missing == Missing::Create && fd < 0 && errno == ENOENT && round < 3;
         ++round) {
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
    struct statfs fs {};
    if (::fstat(fd, &st) != 0 || ::fstatfs(fd, &fs) != 0) {
        const int err = errno;
        ::close(fd);
        throw Error::fromErrno(err, path);
    }
    auto file = std::make_unique<LocalFile>(fd, st, fs.f_type);
    if (!S_ISREG(st.st_mode)) {
        throw Error::of(errc::NotRegularFile, path);
    }
    return file;
}

} // namespace

// On a cifs or smb3 mount the kernel answers F_GETLK by TAKING the lock on the server and letting
// it go again (fs/smb/client/file.c, cifs_getlk, without the POSIX extensions): exactly the probe
// that can make a workstation's own lock attempt fail. The server's locks are mandatory for SMB
// reads, so there a locked record is one whose read fails, as on Windows. Unverified on a real
// mount: these kernels have no cifs module.
LockDetection lockDetectionOf(std::int64_t fileSystemType) {
    constexpr std::int64_t kCifsMagic = 0xFF534D42;
    constexpr std::int64_t kSmb3Magic = 0xFE534D42;
    return fileSystemType == kCifsMagic || fileSystemType == kSmb3Magic ? LockDetection::ReadFailure
                                                                        : LockDetection::Probe;
}

std::unique_ptr<FileAccess> openFileAccess(const std::string& path, Missing missing) {
    if (!isSmbPath(path)) {
        return openLocalFile(path, missing);
    }
    // Samba's libraries come in with the first smb:// path only; a local file never maps them.
    requireSmbClientLibrary();
    return openSmbFile(path);
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

} // namespace orvendal::files
