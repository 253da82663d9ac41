#include "webconfig.h"

#include "error.h"
#include "plainfile.h"
#include "stationfilesetting.h"
#include "tlschannel.h"

#include <crypt.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::web {
namespace {

// libcrypt's own check of a password against a hash; its work area is 32 KiB, too much for a
// server thread's stack.
bool bcryptMatches(const std::string& password, const std::string& hash) {
    const auto area = std::make_unique<crypt_data>();
    const char* computed = ::crypt_r(password.c_str(), hash.c_str(), area.get());
    if (computed == nullptr || computed[0] == '*') {
        return false;
    }
    // Every byte compared, so that the time says nothing of where they differ.
    const std::size_t length = std::strlen(computed);
    unsigned char differ = length != hash.size();
    for (std::size_t i = 0; i < std::min(length, hash.size()); ++i) {
        differ |= static_cast<unsigned char>(computed[i] ^ hash[i]);
    }
    return differ == 0;
}

// Whether libcrypt takes `hash` (of bcrypt's form, as the parser checked) as one it computes.
bool takenByLibcrypt(const std::string& hash) {
    const auto area = std::make_unique<crypt_data>();
    const char* computed = ::crypt_r("", hash.c_str(), area.get());
    return computed != nullptr && computed[0] != '*' && std::strlen(computed) == hash.size();
}

struct ConfigFile {
    std::string text;
    mode_t mode = 0;
};

ConfigFile readConfigFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        throw Error(errnoCode(err), "no se puede abrir el fichero de configuración web (" +
                                        std::string(std::strerror(err)) + "): " + path);
    }
    struct stat st {};
    const auto fail = [&](std::error_code code, const std::string& why) {
        ::close(fd);
        return Error(code, why + ": " + path);
    };
    // Checked on the open descriptor, so the file read is the file checked.
    if (::fstat(fd, &st) != 0) {
        throw fail(errnoCode(errno), "no se puede consultar el fichero de configuración web");
    }
    if (!S_ISREG(st.st_mode)) {
        throw fail(errc::NotRegularFile, "el fichero de configuración web no es un fichero normal");
    }
    if (st.st_uid != ::getuid()) {
        throw fail(errnoCode(EPERM),
                   "el fichero de configuración web no es del usuario que ejecuta el vigilante");
    }
    if ((st.st_mode & 022) != 0) {
        throw fail(errnoCode(EPERM), "el fichero de configuración web puede cambiarlo otro "
                                     "usuario, que se daría acceso (chmod go-w)");
    }
    ConfigFile file{{}, st.st_mode};
    try {
        file.text = files::readAtMost(fd, files::kSettingsFileLimit,
                                      "el fichero de configuración web", path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return file;
}

} // namespace

WebSecurity readWebConfig(const std::string& path) {
    const ConfigFile file = readConfigFile(path);
    const WebConfig config = parseWebConfig(file.text, path);
    if (!config.users.empty() && (file.mode & 044) != 0) {
        throw Error(errnoCode(EPERM),
                    "el fichero de configuración web tiene contraseñas (basic_auth_users) y otro "
                    "usuario puede leerlo (chmod 600): " +
                        path);
    }
    WebSecurity security;
    for (const auto& [name, hash] : config.users) {
        if (!takenByLibcrypt(hash)) {
            throw Error(errnoCode(EINVAL), "el fichero de configuración web " + path +
                                               ": libcrypt no admite el hash de «" + name +
                                               "» (htpasswd -nB " + name + " da uno que sí)");
        }
    }
    security.users = config.users;
    if (!security.users.empty()) {
        security.matches = bcryptMatches;
    }
    if (config.tls) {
        security.tls = loadTls(config.tls->certFile, config.tls->keyFile);
    }
    return security;
}

} // namespace orvendal::web
