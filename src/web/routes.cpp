#include "routes.h"

#include "assets.h"
#include "escape.h"
#include "json.h"
#include "livestream.h"
#include "metrics.h"
#include "statusjson.h"
#include "text.h"

#include <algorithm>
#include <cctype>

namespace orvendal::web {
namespace {

using HandlerResponse = httplib::Server::HandlerResponse;

// Nothing but the watcher's own files: no inline script or style, no other origin, no frame.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

void answer(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Whether `host` names this loopback listener: localhost, 127.0.0.1 or [::1], with its port,
// or without it when the port is the scheme's own. A page elsewhere that rebinds its own name
// to 127.0.0.1 sends that name, and reads nothing.
bool loopbackHost(std::string_view host, int port, bool tls) {
    const std::string name = lowered(host);
    const std::string suffix = ":" + std::to_string(port);
    const bool defaultPort = port == (tls ? 443 : 80);
    for (const char* allowed : {"localhost", "127.0.0.1", "[::1]"}) {
        if (name == allowed + suffix || (defaultPort && name == allowed)) {
            return true;
        }
    }
    return false;
}

// RFC 4648 base64, strictly: none when `text` is not.
std::optional<std::string> base64(std::string_view text) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            if (i + 2 < text.size() || (i + 1 < text.size() && text[i + 1] != '=')) {
                return std::nullopt;
            }
            break;
        }
        const auto value = kAlphabet.find(text[i]);
        if (value == std::string_view::npos) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Whether the request carries a user's right password. Every check costs one bcrypt, also for
// an unknown user (against the first user's hash, whose cost it then has), so that the time
// tells nothing.
bool authorized(const httplib::Request& request, Site& site) {
    const std::string header = request.get_header_value("Authorization");
    std::optional<std::string> pair;
    if (header.size() > 6 && lowered(header.substr(0, 6)) == "basic ") {
        pair = base64(trimmedBlanks(std::string_view(header).substr(6)));
    }
    if (!pair || pair->find(':') == std::string::npos) {
        return false;
    }
    const auto colon = pair->find(':');
    const auto user = site.security.users.find(pair->substr(0, colon));
    const bool known = user != site.security.users.end();
    const std::string& hash = known ? user->second : site.security.users.begin()->second;
    const std::lock_guard lock(site.checking);
    return site.security.matches(pair->substr(colon + 1), hash) && known;
}

HandlerResponse gate(const httplib::Request& request, httplib::Response& response, Site& site) {
    if (site.listen.loopback &&
        !loopbackHost(request.get_header_value("Host"), site.port, site.security.tls != nullptr)) {
        site.counters.count(Refusal::Host);
        answer(response, 421,
               "Este vigilante solo atiende en su propio equipo, como localhost, 127.0.0.1 o "
               "[::1] con su puerto.");
        return HandlerResponse::Handled;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        site.counters.count(Refusal::Method);
        response.set_header("Allow", "GET, HEAD");
        answer(response, 405,
               "El vigilante solo se consulta (GET y HEAD); no admite " +
                   printable(request.method) + ".");
        return HandlerResponse::Handled;
    }
    if (!site.security.users.empty() && !authorized(request, site)) {
        site.counters.count(Refusal::Unauthorized);
        response.set_header("WWW-Authenticate", "Basic realm=\"Orvendal\", charset=\"UTF-8\"");
        answer(response, 401, "Hace falta un usuario y su contraseña.");
        return HandlerResponse::Handled;
    }
    return HandlerResponse::Unhandled;
}

void metricsRoute(httplib::Response& response, Site& site) {
    const std::shared_ptr<const Snapshot> snapshot = site.board.current();
    // Nothing is known before it: a scrape then would report stations that are not there.
    if (snapshot->refresh == 0) {
        response.set_header("Retry-After", "1");
        answer(response, 503, "El vigilante todavía no ha leído el fichero de estaciones.");
        return;
    }
    std::string text;
    {
        const std::lock_guard lock(site.metricsMutex);
        if (site.metricsFor != snapshot) {
            site.metricsText = watch::renderMetrics(*snapshot->tracker, site.stationFile,
                                                    snapshot->refreshed, snapshot->refreshSeconds,
                                                    snapshot->running, site.listedStations);
            if (snapshot->journalUp) {
                site.metricsText +=
                    watch::renderJournalMetrics(site.stationFile, *snapshot->journalUp);
            }
            site.metricsFor = snapshot;
        }
        text = site.metricsText;
    }
    text += site.counters.render(watch::fileLabel(site.stationFile));
    response.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
}

// The object of status --json from the watcher's last refresh; refused as status refuses a
// station file it cannot read, here with 503 since the next refresh may read it.
void statusRoute(httplib::Response& response, Site& site) {
    const std::shared_ptr<const Snapshot> snapshot = site.board.current();
    if (snapshot->refresh == 0) {
        response.set_header("Retry-After", "1");
        answer(response, 503, "El vigilante todavía no ha leído el fichero de estaciones.");
        return;
    }
    if (const Error* error = snapshot->reading->outage()) {
        answer(response, 503,
               "no se puede leer " + printable(site.stationFile) + ": " + error->description());
        return;
    }
    std::string text;
    {
        const std::lock_guard lock(site.statusMutex);
        if (site.statusFor != snapshot->reading || site.statusLock != snapshot->lockMarker) {
            site.statusText.clear();
            JsonWriter json(site.statusText);
            station::writeStatusJson(json, *snapshot->reading, snapshot->lockMarker);
            site.statusFor = snapshot->reading;
            site.statusLock = snapshot->lockMarker;
        }
        text = site.statusText;
    }
    response.set_content(text, "application/json");
}

void assetRoute(const httplib::Request& request, httplib::Response& response) {
    const EmbeddedAsset* asset = findAsset(request.matches[1].str());
    if (asset == nullptr) {
        answer(response, 404, "No existe ese fichero.");
        return;
    }
    // They change only with the program.
    response.headers.erase("Cache-Control");
    response.set_header("Cache-Control", "max-age=3600");
    response.set_content(asset->bytes.data(), asset->bytes.size(),
                         std::string(assetType(asset->name)));
}

} // namespace

void addRoutes(HttpServer& server, Site& site) {
    server.set_default_headers({{"Content-Security-Policy", kPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-store"}});
    server.guard([&site](const httplib::Request& request, httplib::Response& response) {
        return gate(request, response, site);
    });
    server.Get("/", [&site](const httplib::Request&, httplib::Response& response) {
        response.set_content(site.live.render(site.board.current()), "text/html; charset=utf-8");
    });
    server.Get("/api/eventos", [&site](const httplib::Request&, httplib::Response& response) {
        serveLiveEvents(response, site.board, site.live, site.counters, site.limits);
    });
    server.Get("/metrics", [&site](const httplib::Request&, httplib::Response& response) {
        metricsRoute(response, site);
    });
    server.Get("/api/status", [&site](const httplib::Request&, httplib::Response& response) {
        statusRoute(response, site);
    });
    server.Get("/api/history",
               [&site](const httplib::Request& request, httplib::Response& response) {
                   site.history.api(request, response, false);
               });
    server.Get("/api/history.csv",
               [&site](const httplib::Request& request, httplib::Response& response) {
                   site.history.api(request, response, true);
               });
    server.Get("/historia", [&site](const httplib::Request& request, httplib::Response& response) {
        site.history.day(request, response);
    });
    server.Get("/historia/mes",
               [&site](const httplib::Request& request, httplib::Response& response) {
                   site.history.month(request, response);
               });
    server.Get(R"(/estatico/([a-z]+\.[a-z]+))", assetRoute);
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty() && !response.content_provider_) {
                answer(response, response.status,
                       response.status == 404 ? "No existe esa página del vigilante."
                                              : "El vigilante no pudo atender la petición.");
                return HandlerResponse::Handled;
            }
            return HandlerResponse::Unhandled;
        }));
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr failure) {
            std::string why = "error desconocido";
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                why = e.what();
            } catch (...) {
            }
            answer(response, 500, "El vigilante no pudo atender la petición: " + printable(why));
        });
}

} // namespace orvendal::web
