#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvendal::files {

// Which file a path reaches: its volume and its number there (device and inode, or the volume
// serial number and file ID), so that two paths of one file are told apart from two files.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The file `path` reaches, following links as a reader of it does; none when nothing is there or
// it cannot be asked.
std::optional<FileIdentity> identityOf(const std::string& path);

// `path` with its folder resolved (relative, "..", links) and its own name as given: the entry
// it names, also before the file exists. The path made absolute when its folder cannot be
// resolved.
std::string withResolvedFolder(const std::string& path);

// The folder that holds the entry `path` names, as written ("." for a bare name).
std::string folderOf(const std::string& path);

// Whether `path` reaches a folder, following links as an open does.
bool isFolder(const std::string& path);

// Whether `a` and `b` name one entry of one folder, the file there or not: their resolved paths
// compared byte for byte on POSIX, without regard to case on Windows.
bool sameEntry(const std::string& a, const std::string& b);

// Whether `a` and `b` name one file: the same file where both exist (a hard link too), or the
// same entry of the same folder (also when neither exists yet).
bool sameFile(const std::string& a, const std::string& b);

} // namespace orvendal::files
