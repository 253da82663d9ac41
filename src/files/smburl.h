#pragma once

#include <span>
#include <string>
#include <string_view>

// Station files reached over SMB without a mount, named by URL:
// smb://[domain;][user@]server[:port]/share/folder/MARLOVEN.SIT
namespace orvendal::files {

struct SmbLocation {
    std::string domain;
    std::string user;
    std::string server;
    int port = 0; // 0: the client's default, 445
    std::string share;
    std::string path; // within the share, without its leading slash

    // The URL without the user part, as handed to the SMB client (credentials go separately).
    std::string clientUrl() const;
    // The URL as the user wrote it, with domain and user: what messages show.
    std::string shown() const;
    // smb://server[:port]/share, for telling an unknown share from a missing file.
    std::string shareUrl() const;
};

// True when `path` is meant as an SMB URL: it starts with "smb:", in any case, however many
// slashes follow (only "smb://" parses).
bool isSmbPath(std::string_view path);

// Throws Error when `path` is an SMB URL with a password in its user part; the message repeats
// nothing of `path`.
void refusePasswordInSmbUrl(std::string_view path);

// As refusePasswordInSmbUrl() for a command-line argument, and for the value of an
// "--option=VALUE" argument.
void refusePasswordInArgument(std::string_view argument);

// A command line's checks, each failure a UsageError. A password in any argument is refused
// before any other mistake is told, since those messages repeat arguments; an SMB URL given as
// a file that cannot be parsed is told at start rather than as an outage of every refresh.
void refusePasswordsInArguments(std::span<const std::string> args);
void requireParsableSmbPath(std::string_view path);

// Splits an SMB URL; anything else starting with smb:// throws Error with a message that shows
// the accepted form. A password in the URL is refused, and never repeated in the message.
SmbLocation parseSmbPath(std::string_view path);

} // namespace orvendal::files
