#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvendal::files {

// Whose file may stand where the program keeps one: any user's for a file it only reads, its own
// for a file it writes (a file of another user there was put by someone else).
enum class Owner { Anyone, Us };

// Throws Error unless nothing is at `path` or a regular file (of this user for Owner::Us) is:
// a symbolic link (a reparse point on Windows) is never followed, and a FIFO, device, socket or
// folder is refused. Asked without opening the path, so that nothing there can make it wait.
void requirePlainFileOrNothing(const std::string& path, Owner owner);

// A file the program opens by its own name and works on in place (a lock file): never through a
// link, never waiting on a FIFO or a device, and checked on the open descriptor. Only the POSIX
// build keeps such a file.
class PlainFile {
public:
    // Opens it for reading and writing, created (0644 less the umask) when missing and never
    // truncated; it must be a regular file of this user. Throws Error.
    static PlainFile openForWriting(const std::string& path);
    // Opens it for reading; none when nothing is there. It must be a regular file (of this user
    // for Owner::Us). Throws Error.
    static std::optional<PlainFile> openForReading(const std::string& path,
                                                   Owner owner = Owner::Anyone);

    PlainFile(PlainFile&& other) noexcept;
    PlainFile& operator=(PlainFile&& other) noexcept;
    ~PlainFile();

    int descriptor() const noexcept { return fd_; }

private:
    explicit PlainFile(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

// The text of the file open at `fd`, from where it stands to its end, for a small file read whole
// (a settings or credentials file): refused once more than `limit` bytes have come, so that no
// larger one is ever held, even one that grew after its size was looked at. `what` ("el fichero de
// configuración") and `path` name it in a refusal. Only the POSIX build has it. Throws Error.
std::string readAtMost(int fd, std::size_t limit, std::string_view what, const std::string& path);

} // namespace orvendal::files
