#include "error.h"
#include "plainfile.h"
#include "smbfile.h"
#include "smbsecrets.h"
#include "stationfilesetting.h"
#include "text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::files {
namespace {

std::string lowered(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

} // namespace

SmbCredentials readCredentialsFile(const std::string& path) {
    // Checked on the open descriptor, so the file read is the file checked.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        throw Error(errnoCode(err), "no se puede abrir el fichero de credenciales (" +
                                        std::string(std::strerror(err)) + "): " + path);
    }
    struct stat st {};
    std::string text;
    const auto fail = [&](std::error_code code, const std::string& why) {
        ::close(fd);
        return Error(code, why + ": " + path);
    };
    if (::fstat(fd, &st) != 0) {
        throw fail(errnoCode(errno), "no se puede consultar el fichero de credenciales");
    }
    if (!S_ISREG(st.st_mode)) {
        throw fail(errc::NotRegularFile, "el fichero de credenciales no es un fichero normal");
    }
    if (st.st_uid != ::getuid()) {
        throw fail(errnoCode(EPERM),
                   "el fichero de credenciales no es del usuario que ejecuta el programa");
    }
    if ((st.st_mode & 077) != 0) {
        throw fail(errnoCode(EPERM),
                   "el fichero de credenciales puede leerlo o cambiarlo otro usuario "
                   "(quítele los permisos con chmod 600)");
    }
    keepSecretsOutOfCoreDumps();
    try {
        // As a settings file: three short lines, and nothing larger is ever held.
        text = readAtMost(fd, kSettingsFileLimit, "el fichero de credenciales", path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return parseCredentials(text, path);
}

SmbCredentials parseCredentials(std::string_view text, const std::string& path) {
    SmbCredentials credentials;
    std::string_view rest = text;
    // Windows editors start a UTF-8 file with a byte order mark.
    if (rest.starts_with("\xEF\xBB\xBF")) {
        rest.remove_prefix(3);
    }
    bool anyLine = false;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (trimmedBlanks(line).empty() || trimmedBlanks(line).front() == '#') {
            continue;
        }
        anyLine = true;
        const auto equals = line.find('=');
        const std::string key = lowered(trimmedBlanks(line.substr(0, equals)));
        // Blanks around '=' are the file's layout; a password keeps its trailing ones.
        std::string_view value =
            equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
        value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
        if (key == "username" || key == "user") {
            credentials.user = trimmedBlanks(value);
        } else if (key == "password" || key == "pass") {
            credentials.password = value;
        } else if (key == "domain" || key == "dom" || key == "workgroup") {
            credentials.domain = trimmedBlanks(value);
        }
    }
    if (!anyLine) {
        throw Error(errnoCode(EINVAL),
                    "el fichero de credenciales está vacío (lleva líneas username=, "
                    "password= y, si hace falta, domain=): " +
                        path);
    }
    if (credentials.password.empty()) {
        throw Error(errnoCode(EINVAL),
                    "el fichero de credenciales no da la contraseña (falta una línea "
                    "password=): " +
                        path);
    }
    return credentials;
}

} // namespace orvendal::files
