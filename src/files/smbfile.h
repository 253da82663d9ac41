#pragma once

#include "fileaccess.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Station files on a Windows or Samba server, reached through libsmbclient with no mount. One SMB
// client serves the whole process; the front ends give it credentials through these functions.
namespace orvendal::files {

struct SmbCredentials {
    std::string domain;
    std::string user;
    std::string password;
};

// Reads a credentials file in mount.cifs's format: "username=", "password=" and "domain=" lines
// ("user=", "pass=", "dom=" and "workgroup=" too), keys in any case, blanks around '=' ignored;
// blank lines, lines starting with '#' and a UTF-8 byte order mark are skipped. Refused unless it
// is a regular file that the user owns and nobody else may read or write, and unless it gives a
// password. Throws Error.
SmbCredentials readCredentialsFile(const std::string& path);

// The lines of a credentials file already read, as readCredentialsFile() takes them; `path` only
// names the file in messages, which never repeat its text. Throws Error.
SmbCredentials parseCredentials(std::string_view text, const std::string& path);

// The credentials of every later smb:// open: the URL's user and domain come first, the file's
// fill in what the URL leaves out. The file is looked at again at each open and read again when
// it changed. Throws Error as readCredentialsFile().
void useCredentialsFile(const std::string& path);

// Asked for the password of `user` for `location` (an smb:// URL without secrets) when the server
// refuses the log-on: the password, or nothing when the user declines. Called at most once per
// refusal, with no lock of the SMB layer held, possibly from a thread that is not the caller's
// of setPasswordPrompt(); the answer stays in memory only. A user and password the server refused
// are not sent again until the credentials file changes or the prompt gives another answer.
using PasswordPrompt =
    std::function<std::optional<std::string>(const std::string& location, const std::string& user)>;

// Registers the front end's prompt, or none (the default: a refused log-in is an error).
void setPasswordPrompt(PasswordPrompt prompt);

// Opens an smb:// station file read-only and shared, without any oplock or lease; a missing file
// is created empty where the server lets us. Throws Error.
std::unique_ptr<FileAccess> openSmbFile(const std::string& url);

// Throws Error unless the smb:// URL names an existing regular file; creates nothing.
void requireSmbRegularFile(const std::string& url);

} // namespace orvendal::files
