#include "smburl.h"

#include "error.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <optional>
#include <utility>

namespace orvendal::files {
namespace {

constexpr std::string_view kScheme = "smb://";

bool startsWithScheme(std::string_view text) {
    return text.size() >= kScheme.size() &&
           std::equal(kScheme.begin(), kScheme.end(), text.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

// Where a password in the user part would be: from after the ':' that follows the user up to the
// last '@'. A password may hold '/' and '@', so nothing after the ':' can be trusted to end it;
// the last '@' hides too much where a folder's name holds one, never too little.
std::optional<std::pair<std::size_t, std::size_t>> passwordSpan(std::string_view path) {
    if (!startsWithScheme(path)) {
        return std::nullopt;
    }
    const auto colon = path.find(':', kScheme.size());
    const auto at = path.rfind('@');
    if (colon == std::string_view::npos || at == std::string_view::npos || at < colon ||
        path.substr(kScheme.size(), colon - kScheme.size()).find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    // server:port/share/... with an '@' further on is a port, not a password.
    const auto slash = path.find('/', colon);
    const auto digits = path.substr(colon + 1, slash - colon - 1);
    if (slash < at && !digits.empty() &&
        digits.find_first_not_of("0123456789") == std::string_view::npos) {
        return std::nullopt;
    }
    return std::pair(colon + 1, at);
}

std::string withoutPassword(std::string_view path) {
    std::string shown(path);
    if (const auto span = passwordSpan(path)) {
        shown.replace(span->first, span->second - span->first, "***");
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

void refusePasswordInSmbUrl(std::string_view path) {
    if (passwordSpan(path)) {
        throw Error(EINVAL, "la dirección smb:// no puede llevar la contraseña: póngala en un "
                            "fichero de credenciales (--credentials) o escríbala cuando se "
                            "pida: " +
                                withoutPassword(path));
    }
}

SmbLocation parseSmbPath(std::string_view path) {
    if (!startsWithScheme(path)) {
        throw badUrl(path, "no empieza por smb://");
    }
    refusePasswordInSmbUrl(path);
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
    } else if (authority.find(';') != std::string_view::npos) {
        throw badUrl(path, "tras el dominio y ';' falta el usuario y '@'");
    }
    if (authority.starts_with('[')) {
        throw badUrl(path, "libsmbclient no admite direcciones IPv6 escritas entre corchetes; "
                           "escriba el nombre del servidor");
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
