#include "stationfilesetting.h"

#include "atomicfile.h"
#include "error.h"
#include "plainfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvendal::files {
namespace {

constexpr const char* kSystemSettingsFile = "/etc/orvendal/orvendal.conf";

// The user's folder of settings files: $XDG_CONFIG_HOME, or ~/.config when it is unset or, as
// the XDG base directory rules say, not an absolute path.
std::string userConfigFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        return config;
    }
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && variable[0] == '/') {
        home = variable;
    } else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        home = entry->pw_dir;
    }
    if (home.empty() || home.front() != '/') {
        throw Error(errnoCode(ENOENT),
                    "no se sabe cuál es la carpeta personal del usuario (HOME no está "
                    "definida): no se puede buscar su carpeta de configuración");
    }
    return home + "/.config";
}

// The text of the settings file `path`, nothing when it does not exist. A link to a regular file
// is read (a user's settings may live elsewhere); a FIFO or device never makes it wait.
std::optional<std::string> readSettingsFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) {
            return std::nullopt;
        }
        throw Error(errnoCode(err), "no se puede abrir el fichero de configuración (" +
                                        std::string(std::strerror(err)) + "): " + path);
    }
    const auto fail = [&](std::error_code code, const std::string& why) {
        ::close(fd);
        return Error(code, "el fichero de configuración " + why + ": " + path);
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw fail(errnoCode(errno),
                   "no se puede consultar (" + std::string(std::strerror(errno)) + ")");
    }
    if (!S_ISREG(st.st_mode)) {
        throw fail(errc::NotRegularFile, "no es un fichero normal");
    }
    std::string text;
    try {
        text = readAtMost(fd, kSettingsFileLimit, "el fichero de configuración", path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return text;
}

// Makes the folder `path` when it is missing, readable by this user only.
void makeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        const int err = errno;
        throw Error(errnoCode(err), "no se puede crear la carpeta (" +
                                        std::string(std::strerror(err)) + "): " + path);
    }
}

} // namespace

std::string userSettingsFile(std::string_view name) {
    std::string path = userConfigFolder() + "/orvendal/";
    path += name;
    return path;
}

void makeUserSettingsFolder() {
    const std::string config = userConfigFolder();
    makeFolder(config);
    makeFolder(config + "/orvendal");
}

std::optional<StationFileSetting> configuredStationFile() {
    for (const std::string& path :
         {userSettingsFile("orvendal.conf"), std::string(kSystemSettingsFile)}) {
        if (const auto text = readSettingsFile(path)) {
            if (auto stationFile = parseStationFileSetting(*text, path)) {
                return StationFileSetting{std::move(*stationFile), path};
            }
        }
    }
    return std::nullopt;
}

std::string rememberStationFile(const std::string& stationFile) {
    makeUserSettingsFolder();
    const std::string path = userSettingsFile("orvendal.conf");
    const std::string text =
        withStationFileSetting(readSettingsFile(path).value_or(std::string()), stationFile);
    // Never written as the reader would refuse it.
    parseStationFileSetting(text, path);
    writeFileAtomically(path, text);
    return path;
}

} // namespace orvendal::files
