#include "webconfig.h"

#include "error.h"

#include <cerrno>
#include <filesystem>

namespace orvendal::web {
namespace {

struct Refusal {
    std::size_t line;
    std::string why;
};

// A plain, 'single' or "double" quoted scalar, the comment after it dropped.
std::string scalar(std::string_view text, std::size_t line) {
    if (text.empty()) {
        throw Refusal{line, "falta el valor tras «:»"};
    }
    const char quote = text.front();
    if (quote == '\'' || quote == '"') {
        std::string value;
        std::size_t i = 1;
        for (; i < text.size(); ++i) {
            if (text[i] == quote) {
                if (quote == '\'' && i + 1 < text.size() && text[i + 1] == '\'') {
                    value += '\'';
                    ++i;
                    continue;
                }
                break;
            }
            if (quote == '"' && text[i] == '\\') {
                throw Refusal{line, "las secuencias con «\\» entre comillas dobles no se admiten; "
                                    "use comillas simples"};
            }
            value += text[i];
        }
        if (i == text.size()) {
            throw Refusal{line, "faltan las comillas que cierran el valor"};
        }
        const std::string_view rest = text.substr(i + 1);
        const auto tail = rest.find_first_not_of(' ');
        if (tail != std::string_view::npos && rest[tail] != '#') {
            throw Refusal{line, "hay texto tras las comillas que cierran el valor"};
        }
        return value;
    }
    // YAML's indicators would make this something other than a plain text.
    if (std::string_view("[]{}&*!|>%@`,").find(quote) != std::string_view::npos ||
        (quote == '-' && text.size() > 1 && text[1] == ' ')) {
        throw Refusal{line, "el valor empieza por «" + std::string(1, quote) +
                                "», que en YAML no es un texto: póngalo entre comillas simples"};
    }
    const auto comment = text.find(" #");
    std::string_view value = text.substr(0, comment);
    while (!value.empty() && value.back() == ' ') {
        value.remove_suffix(1);
    }
    if (value.find(": ") != std::string_view::npos || value.ends_with(':')) {
        throw Refusal{line, "un valor sin comillas no puede llevar «: »: póngalo entre comillas "
                            "simples"};
    }
    return std::string(value);
}

// bcrypt's form, as htpasswd -B writes it: $2a$, $2b$ or $2y$, a two-digit cost, 53 characters
// of its alphabet.
bool bcryptForm(std::string_view hash) {
    if (hash.size() != 60 ||
        !(hash.starts_with("$2a$") || hash.starts_with("$2b$") || hash.starts_with("$2y$")) ||
        hash[6] != '$' || hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9') {
        return false;
    }
    return hash.find_first_not_of(
               "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 7) ==
           std::string_view::npos;
}

void parseLines(std::string_view text, WebConfig& config, const std::string& folder) {
    enum class Section { None, Tls, Users } section = Section::None;
    bool seenTls = false;
    bool seenUsers = false;
    std::size_t indent = 0;
    std::size_t number = 0;
    std::optional<std::string> cert;
    std::optional<std::string> key;
    std::size_t tlsLine = 0;
    const auto closeTls = [&] {
        if (section == Section::Tls && (!cert || !key)) {
            throw Refusal{tlsLine, std::string("a tls_server_config le falta ") +
                                       (cert ? "key_file" : "cert_file")};
        }
        if (section == Section::Tls) {
            const auto resolve = [&](const std::string& file) {
                return std::filesystem::path(file).is_absolute() || folder.empty()
                           ? file
                           : folder + "/" + file;
            };
            config.tls = WebConfig::Tls{resolve(*cert), resolve(*key)};
        }
    };
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const auto first = line.find_first_not_of(' ');
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        if (line.find('\t') != std::string_view::npos) {
            throw Refusal{number, "hay un tabulador: YAML sangra solo con espacios"};
        }
        if (line.substr(0, 3) == "---" || line.substr(0, 3) == "...") {
            throw Refusal{number, "un fichero de varios documentos YAML no se admite"};
        }
        const auto colon = line.find(':', first);
        if (colon == std::string_view::npos ||
            (colon + 1 < line.size() && line[colon + 1] != ' ')) {
            throw Refusal{number, "se esperaba «clave: valor» o una sección «clave:»"};
        }
        const std::string_view name = line.substr(first, colon - first);
        if (name.empty()) {
            throw Refusal{number, "falta la clave antes de «:»"};
        }
        std::string_view rest = line.substr(colon + 1);
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        if (first == 0) {
            if (!rest.empty() && rest.front() != '#') {
                throw Refusal{number, "«" + std::string(name) +
                                          ":» abre una sección: sus claves van en las líneas "
                                          "siguientes, sangradas"};
            }
            closeTls();
            indent = 0;
            if (name == "tls_server_config" && !seenTls) {
                section = Section::Tls;
                seenTls = true;
                tlsLine = number;
            } else if (name == "basic_auth_users" && !seenUsers) {
                section = Section::Users;
                seenUsers = true;
            } else if (name == "tls_server_config" || name == "basic_auth_users") {
                throw Refusal{number, "la sección " + std::string(name) + " ya apareció antes"};
            } else {
                throw Refusal{number, "«" + std::string(name) +
                                          "» no se admite: solo tls_server_config (cert_file, "
                                          "key_file) y basic_auth_users"};
            }
            continue;
        }
        if (section == Section::None) {
            throw Refusal{number, "una línea sangrada fuera de una sección"};
        }
        if (indent == 0) {
            indent = first;
        } else if (first != indent) {
            throw Refusal{number, "la sangría no es la de las otras líneas de la sección"};
        }
        const std::string value = scalar(rest, number);
        if (value.empty()) {
            throw Refusal{number, "el valor de «" + std::string(name) + "» está vacío"};
        }
        if (section == Section::Users) {
            if (std::string_view("'\"[]{}&*!|>%@`,-?").find(name.front()) !=
                std::string_view::npos) {
                throw Refusal{number, "un nombre de usuario que empieza por «" +
                                          std::string(1, name.front()) + "» no se admite"};
            }
            if (!bcryptForm(value)) {
                throw Refusal{number, "la contraseña de «" + std::string(name) +
                                          "» no es un hash bcrypt como los de htpasswd -nB"};
            }
            if (!config.users.emplace(std::string(name), value).second) {
                throw Refusal{number, "el usuario «" + std::string(name) + "» ya apareció antes"};
            }
            continue;
        }
        std::optional<std::string>* slot = name == "cert_file"  ? &cert
                                           : name == "key_file" ? &key
                                                                : nullptr;
        if (slot == nullptr) {
            throw Refusal{number, "«" + std::string(name) +
                                      "» no se admite en tls_server_config: solo cert_file y "
                                      "key_file"};
        }
        if (*slot) {
            throw Refusal{number, "«" + std::string(name) + "» ya apareció antes"};
        }
        *slot = value;
    }
    closeTls();
}

} // namespace

WebConfig parseWebConfig(std::string_view text, const std::string& path) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    WebConfig config;
    const std::string folder = std::filesystem::path(path).parent_path().string();
    try {
        parseLines(text, config, folder);
    } catch (const Refusal& refusal) {
        throw Error(errnoCode(EINVAL), "el fichero de configuración web " + path + ", línea " +
                                           std::to_string(refusal.line) + ": " + refusal.why);
    }
    return config;
}

} // namespace orvendal::web
