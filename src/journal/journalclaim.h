#pragma once

#include "error.h"
#include "fileidentity.h"

#include <memory>
#include <string>

namespace orvendal::journal {

// The watcher's claim on a journal: locks that the OS drops when the watcher dies however it
// dies. One on a file beside the journal ("DB.lock"), which also keeps the watcher's process id
// for a refusal's message; one on the database file itself, at a byte far past SQLite's own
// locks, so that the claim holds whatever path or hard link names the file. Its handle of the
// database stays open as long as the claim.
class WatcherClaim {
public:
    // Takes the claim; throws Error, with EAGAIN when another watcher holds it.
    explicit WatcherClaim(const std::string& journal);
    WatcherClaim(WatcherClaim&&) noexcept;
    WatcherClaim& operator=(WatcherClaim&&) noexcept;
    ~WatcherClaim();

    // The database file this claim holds.
    files::FileIdentity identity() const;

    struct Handles;

private:
    std::unique_ptr<Handles> handles_;
};

// Whether a watcher holds the journal now, under this name or another. A link, FIFO or device
// at the lock's place is an error, at once: a reader must never wait there.
bool watcherRunning(const std::string& journal);

// The file beside the journal that holds a watcher's claim and its process id.
std::string lockPath(const std::string& journal);

// The refusal of a second watcher: `pid` is the holder's, or empty when unknown.
Error claimedByAnother(const std::string& journal, const std::string& pid);

// This process's id, as a watcher records it.
long long processId();

// Moves a corrupt journal's file `from` to `to`, never over a file already there; false when
// `from` does not exist. Throws Error.
bool moveCorruptFile(const std::string& from, const std::string& to);

// Who besides this user may change the names in the journal's folder. Private: nobody but this
// user and root. Sticky: other users may create files there but not remove or rename this
// user's, so the journal's side files are safe once they exist and are ours.
enum class Folder { Private, Sticky };

// The journal's folder, refused (EPERM) when another user owns it or may write it without the
// sticky bit: the journal itself could be swapped there. Throws Error.
Folder checkedFolder(const std::string& journal);

// Makes "-wal", "-shm" and "-journal" exist as this user's files before SQLite needs them, in a
// sticky folder, where a name not yet taken could be another user's by the time SQLite opens it
// (it opens them without O_EXCL). A new journal is first given its WAL header with no side file,
// since SQLite deletes and makes them again for an empty database. Another user's side file is
// refused. Throws Error.
void takeSideFiles(const std::string& journal);

// Whether an open's failure is one that retrying cannot mend, as this OS reports it: a link at the
// journal's place, another user's file, a folder that does not exist.
bool lastingOpenFailure(const std::error_code& code);

} // namespace orvendal::journal
