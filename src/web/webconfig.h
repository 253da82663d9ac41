#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvendal::web {

class TlsAcceptor;

// The web configuration file (--web-config) in the format Prometheus's exporters read, as far as
// the watcher takes it: TLS with a certificate and its key, and users with bcrypt hashes.
struct WebConfig {
    struct Tls {
        // Relative paths are taken from the configuration file's folder, as the exporters do.
        std::string certFile;
        std::string keyFile;
    };
    std::optional<Tls> tls;
    // Name and bcrypt hash ("$2y$10$..."), as `htpasswd -nB` writes them.
    std::map<std::string, std::string> users;
};

// Reads the strict subset of YAML that such a file needs, and refuses anything else with its
// line named, never guessing what was meant:
//   # comments, blank lines
//   tls_server_config:
//     cert_file: PATH
//     key_file: PATH
//   basic_auth_users:
//     NAME: HASH
// Each section at most once, at the line's start, with nothing after its colon; its entries
// indented by spaces (no tabs), all alike. Values plain, 'single-quoted' or "double-quoted"
// without escapes; a plain value ends at " #". Throws Error.
WebConfig parseWebConfig(std::string_view text, const std::string& path);

// What the listener does with a web configuration, ready at start.
struct WebSecurity {
    // TLS for every connection; none: plain HTTP.
    std::shared_ptr<TlsAcceptor> tls;
    std::map<std::string, std::string> users;
    // Whether a password matches a bcrypt hash; set whenever there are users.
    std::function<bool(const std::string& password, const std::string& hash)> matches;
};

// The file at `path` read as the credentials file is (a regular file of this user, nobody else
// may change it, nobody else may read it when it holds password hashes, 64 KiB at most), parsed,
// every hash checked and the certificate and key loaded. Windows has no TLS library of Debian's:
// there the file is refused. Throws Error.
WebSecurity readWebConfig(const std::string& path);

} // namespace orvendal::web
