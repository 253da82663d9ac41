#include "smburl.h"

#include "error.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>

namespace orvendal::files {
namespace {

constexpr std::string_view kScheme = "smb://";

bool startsWithScheme(std::string_view text) {
    return text.size() >= kScheme.size() &&
           std::equal(kScheme.begin(), kScheme.end(), text.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

// The URL with whatever follows a ':' in the user part blanked out, so a password the user typed
// there is never repeated in a message.
std::string withoutPassword(std::string_view path) {
    std::string shown(path);
    const auto authorityEnd = shown.find('/', kScheme.size());
    const auto at = shown.rfind('@', authorityEnd);
    if (at == std::string::npos || at < kScheme.size()) {
        return shown;
    }
    const auto colon = shown.find(':', kScheme.size());
    if (colon < at) {
        shown.replace(colon + 1, at - colon - 1, "***");
    }
    return shown;
}

Error badUrl(std::string_view path, const std::string& why) {
    return Error(EINVAL, "dirección smb:// no válida (" + why +
                             "; la forma es smb://[dominio;][usuario@]servidor[:puerto]/"
                             "recurso/carpeta/MARLOVEN.SIT): " +
                             withoutPassword(path));
}

bool hasEmptyOrDotPart(std::string_view path) {
    for (std::size_t from = 0;;) {
        const auto slash = path.find('/', from);
        const auto part = path.substr(from, slash - from);
        if (part.empty() || part == "." || part == "..") {
            return true;
        }
        if (slash == std::string_view::npos) {
            return false;
        }
        from = slash + 1;
    }
}

} // namespace

std::string SmbLocation::clientUrl() const {
    return shareUrl() + "/" + path;
}

std::string SmbLocation::shown() const {
    std::string url(kScheme);
    if (!domain.empty()) {
        url += domain + ";";
    }
    if (!user.empty()) {
        url += user + "@";
    }
    return url + clientUrl().substr(kScheme.size());
}

std::string SmbLocation::shareUrl() const {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on ":" + a temporary string.
    std::string url = std::string(kScheme) + server;
    if (port != 0) {
        url.append(":").append(std::to_string(port));
    }
    return url.append("/").append(share);
}

bool isSmbPath(std::string_view path) {
    return startsWithScheme(path);
}

SmbLocation parseSmbPath(std::string_view path) {
    if (!startsWithScheme(path)) {
        throw badUrl(path, "no empieza por smb://");
    }
    // Query options and fragments would reach the SMB client's own URL options.
    if (path.find_first_of("?#\\") != std::string_view::npos) {
        throw badUrl(path, "no admite los caracteres ?, # ni \\");
    }
    std::string_view rest = path.substr(kScheme.size());
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    SmbLocation location;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        std::string_view userPart = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        if (userPart.find(':') != std::string_view::npos) {
            throw Error(EINVAL, "la dirección smb:// no puede llevar la contraseña: póngala en un "
                                "fichero de credenciales (--credentials) o escríbala cuando se "
                                "pida: " +
                                    withoutPassword(path));
        }
        if (const auto semicolon = userPart.find(';'); semicolon != std::string_view::npos) {
            location.domain = userPart.substr(0, semicolon);
            userPart.remove_prefix(semicolon + 1);
            if (location.domain.empty()) {
                throw badUrl(path, "falta el dominio antes de ';'");
            }
        }
        if (userPart.empty()) {
            throw badUrl(path, "falta el usuario antes de '@'");
        }
        location.user = userPart;
    }
    if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
        const std::string_view digits = authority.substr(colon + 1);
        int port = 0;
        const auto [end, failure] =
            std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (digits.empty() || failure != std::errc() || end != digits.data() + digits.size() ||
            port < 1 || port > 65535) {
            throw badUrl(path, "el puerto no es un número entre 1 y 65535");
        }
        location.port = port;
        authority = authority.substr(0, colon);
    }
    if (authority.empty()) {
        throw badUrl(path, "falta el servidor");
    }
    location.server = authority;
    const std::string_view sharePath =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    const auto shareEnd = sharePath.find('/');
    if (sharePath.empty() || shareEnd == 0) {
        throw badUrl(path, "falta el recurso compartido");
    }
    if (shareEnd == std::string_view::npos || shareEnd + 1 == sharePath.size()) {
        throw badUrl(path, "falta el nombre del fichero tras el recurso compartido");
    }
    location.share = sharePath.substr(0, shareEnd);
    location.path = sharePath.substr(shareEnd + 1);
    if (hasEmptyOrDotPart(location.path)) {
        throw badUrl(path, "la ruta tiene partes vacías, '.' o '..'");
    }
    return location;
}

} // namespace orvendal::files
