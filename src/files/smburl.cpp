#include "smburl.h"

#include "error.h"
#include "usageerror.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>

namespace orvendal::files {
namespace {

constexpr std::string_view kScheme = "smb://";
// What marks a text as meant for SMB, whatever follows it.
constexpr std::string_view kPrefix = "smb:";

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

// Whether the user part of an smb: text holds a password: a ':' in the server part, before its
// first '/', with an '@' after it. A password may hold '/' and '@', so the last '@' is the one
// that counts; only "server:port/..." with an '@' further on is taken for a port.
bool holdsPassword(std::string_view text) {
    if (!isSmbPath(text)) {
        return false;
    }
    std::string_view rest = text.substr(kPrefix.size());
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    const auto colon = rest.find(':');
    const auto at = rest.rfind('@');
    if (colon == std::string_view::npos || at == std::string_view::npos || at < colon ||
        rest.substr(0, colon).find('/') != std::string_view::npos) {
        return false;
    }
    const auto slash = rest.find('/', colon);
    const auto digits = rest.substr(colon + 1, slash - colon - 1);
    return !(slash < at && !digits.empty() &&
             digits.find_first_not_of("0123456789") == std::string_view::npos);
}

Error badUrl(std::string_view path, const std::string& why) {
    return Error(errnoCode(EINVAL), "dirección smb:// no válida (" + why +
                                        "; la forma es smb://[dominio;][usuario@]servidor[:puerto]/"
                                        "recurso/carpeta/MARLOVEN.SIT): " +
                                        std::string(path));
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
    return startsWithIgnoringCase(path, kPrefix);
}

void refusePasswordInSmbUrl(std::string_view path) {
    // Nothing of the text is repeated: where the password ends cannot be known for certain.
    if (holdsPassword(path)) {
        throw Error(errnoCode(EINVAL),
                    "la dirección smb:// no puede llevar la contraseña (no se repite "
                    "aquí): póngala en un fichero de credenciales (--credentials) o "
                    "escríbala cuando se pida");
    }
}

void refusePasswordInArgument(std::string_view argument) {
    refusePasswordInSmbUrl(argument);
    if (argument.starts_with('-')) {
        if (const auto equals = argument.find('='); equals != std::string_view::npos) {
            refusePasswordInSmbUrl(argument.substr(equals + 1));
        }
    }
}

void refusePasswordsInArguments(std::span<const std::string> args) {
    for (const std::string& arg : args) {
        try {
            refusePasswordInArgument(arg);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
}

void requireParsableSmbPath(std::string_view path) {
    if (isSmbPath(path)) {
        try {
            parseSmbPath(path);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
}

SmbLocation parseSmbPath(std::string_view path) {
    refusePasswordInSmbUrl(path);
    if (!startsWithIgnoringCase(path, kScheme)) {
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
