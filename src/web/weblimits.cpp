#include "weblimits.h"

namespace orvendal::web {

std::string Counters::render(std::string_view labels) const {
    static constexpr std::array<const char*, kRefusals> kReasons = {
        "connections",  "live_clients", "method",        "host", "unauthorized",
        "request_size", "slow_request", "tls_handshake", "busy"};
    const std::string common(labels);
    std::string out = "# HELP orvendal_web_refused_total Requests and connections the web page "
                      "refused, by reason.\n# TYPE orvendal_web_refused_total counter\n";
    for (std::size_t i = 0; i < kRefusals; ++i) {
        out += "orvendal_web_refused_total{" + common + ",reason=\"" + kReasons[i] + "\"} " +
               std::to_string(refused[i].load()) + '\n';
    }
    out += "# HELP orvendal_web_connections Connections the web page serves now.\n"
           "# TYPE orvendal_web_connections gauge\norvendal_web_connections{" +
           common + "} " + std::to_string(connections.load()) +
           "\n# HELP orvendal_web_live_clients Live pages following the refreshes now.\n"
           "# TYPE orvendal_web_live_clients gauge\norvendal_web_live_clients{" +
           common + "} " + std::to_string(liveClients.load()) + '\n';
    return out;
}

} // namespace orvendal::web
