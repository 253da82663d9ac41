#include "error.h"
#include "smbfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::files {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

SmbCredentials readCredentialsFile(const std::string& path) {
    // Checked on the open descriptor, so the file read is the file checked.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        throw Error(err, "no se puede abrir el fichero de credenciales (" +
                             std::string(std::strerror(err)) + "): " + path);
    }
    struct stat st {};
    std::string text;
    const auto fail = [&](int err, const std::string& why) {
        ::close(fd);
        return Error(err, why + ": " + path);
    };
    if (::fstat(fd, &st) != 0) {
        throw fail(errno, "no se puede consultar el fichero de credenciales");
    }
    if (!S_ISREG(st.st_mode)) {
        throw fail(errc::NotRegularFile, "el fichero de credenciales no es un fichero normal");
    }
    if (st.st_uid != ::getuid()) {
        throw fail(EPERM, "el fichero de credenciales no es del usuario que ejecuta el programa");
    }
    if ((st.st_mode & 077) != 0) {
        throw fail(EPERM, "el fichero de credenciales puede leerlo o cambiarlo otro usuario "
                          "(quítele los permisos con chmod 600)");
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw fail(errno, "no se puede leer el fichero de credenciales");
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);

    SmbCredentials credentials;
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (trimmed(line).empty() || trimmed(line).front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals));
        // The value as written: a password may begin or end with blanks.
        const std::string value(equals == std::string_view::npos ? std::string_view()
                                                                 : line.substr(equals + 1));
        if (key == "username" || key == "user") {
            credentials.user = value;
        } else if (key == "password" || key == "pass") {
            credentials.password = value;
        } else if (key == "domain" || key == "dom" || key == "workgroup") {
            credentials.domain = value;
        }
    }
    return credentials;
}

} // namespace orvendal::files
