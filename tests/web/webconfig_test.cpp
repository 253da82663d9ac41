// The web configuration's reader: what it takes, and the line it names for all it refuses.
#include "error.h"
#include "webconfig.h"

#include <gtest/gtest.h>

using orvendal::Error;
using orvendal::web::parseWebConfig;

namespace {

const std::string kHash = "$2y$10$8CEAmWr/cH6FYh6swaek0O1dhIaZeI..6lRMH9oGUWb2V1f5YIZve";

TEST(WebConfig, TakesTheExportersFormatAsHtpasswdAndOpensslLeaveIt) {
    const std::string text = "\xEF\xBB\xBF# la página del vigilante\r\n"
                             "tls_server_config:\r\n"
                             "    cert_file: cert.pem   # junto al fichero\r\n"
                             "    key_file: '/etc/orvendal/clave de ''web''.pem'\r\n"
                             "\r\n"
                             "basic_auth_users:\r\n"
                             "  ana: '" +
                             kHash + "'\r\n";
    const auto config = parseWebConfig(text, "/srv/web.yml");
    ASSERT_TRUE(config.tls);
    EXPECT_EQ(config.tls->certFile, "/srv/cert.pem");
    EXPECT_EQ(config.tls->keyFile, "/etc/orvendal/clave de 'web'.pem");
    ASSERT_EQ(config.users.size(), 1u);
    EXPECT_EQ(config.users.at("ana"), kHash);
    EXPECT_FALSE(parseWebConfig("# nada\n", "w.yml").tls);
}

TEST(WebConfig, RefusesAllElseNamingTheLine) {
    struct Case {
        std::string text;
        int line;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"http_server_config:\n  http2: false\n", 1, "no se admite"},
        {"tls_server_config:\n  cert_file: a\n  client_ca_file: c\n", 3, "client_ca_file"},
        {"tls_server_config:\n  cert_file: a\n", 1, "key_file"},
        {"basic_auth_users:\n  ana: " + kHash + "\n  ana: " + kHash + "\n", 3, "ya apareció"},
        {"basic_auth_users:\n  ana: secreto\n", 2, "bcrypt"},
        {"basic_auth_users:\n\tana: " + kHash + "\n", 2, "tabulador"},
        {"basic_auth_users: {}\n", 1, "sección"},
        {"basic_auth_users:\n  ana: " + kHash + "\n   luis: " + kHash + "\n", 3, "sangría"},
        {"  cert_file: a\n", 1, "fuera de una sección"},
        {"basic_auth_users:\nbasic_auth_users:\n", 2, "ya apareció"},
        {"---\nbasic_auth_users:\n", 1, "varios documentos"},
        {"tls_server_config:\n  cert_file: \"a\\tb\"\n  key_file: k\n", 2, "comillas simples"},
        {"tls_server_config:\n  cert_file: 'a\n", 2, "comillas"},
        {"tls_server_config:\n  cert_file: 'a' b\n", 2, "tras las comillas"},
        {"tls_server_config:\n  cert_file: [a, b]\n", 2, "no es un texto"},
        {"tls_server_config:\n  cert_file: a: b\n", 2, "«: »"},
        {"tls_server_config:\n  cert_file:\n", 2, "falta el valor"},
        {"basic_auth_users:\n  - ana\n", 2, "«clave: valor»"},
        {"basic_auth_users:\n  \"ana\": " + kHash + "\n", 2, "no se admite"},
    };
    for (const Case& c : cases) {
        try {
            parseWebConfig(c.text, "web.yml");
            ADD_FAILURE() << "taken: " << c.text;
        } catch (const Error& e) {
            const std::string message = e.description();
            EXPECT_NE(message.find("web.yml, línea " + std::to_string(c.line) + ":"),
                      std::string::npos)
                << c.text << " → " << message;
            EXPECT_NE(message.find(c.says), std::string::npos) << c.text << " → " << message;
        }
    }
}

} // namespace
