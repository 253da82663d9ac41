#include "html.h"

#include "escape.h"
#include "text.h"

namespace orvendal::web {

void appendHtml(std::string& out, std::u16string_view text) {
    // The five characters HTML gives a meaning to are all ASCII, so the UTF-8 is escaped by byte.
    for (const char c : toUtf8(printable(text))) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
}

void appendHtml(std::string& out, std::string_view utf8) {
    appendHtml(out, fromUtf8(utf8));
}

std::string html(std::u16string_view text) {
    std::string out;
    appendHtml(out, text);
    return out;
}

std::string html(std::string_view utf8) {
    return html(fromUtf8(utf8));
}

std::string page(std::string_view title, std::string_view body, std::string_view script,
                 std::string_view bodyClass) {
    std::string out = "<!DOCTYPE html>\n<html lang=\"es\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                      "<title>";
    appendHtml(out, title);
    out += " · Orvendal</title>\n<link rel=\"stylesheet\" href=\"/estatico/orvendal.css\">\n"
           "<link rel=\"icon\" href=\"/estatico/icono.svg\" type=\"image/svg+xml\">\n";
    if (!script.empty()) {
        out += "<script src=\"";
        out += script;
        out += "\" defer></script>\n";
    }
    out += "</head>\n<body";
    if (!bodyClass.empty()) {
        out += " class=\"";
        out += bodyClass;
        out += '"';
    }
    out += ">\n";
    out += body;
    out += "</body>\n</html>\n";
    return out;
}

std::string navigation(std::string_view current) {
    struct Link {
        std::string_view href;
        std::string_view text;
    };
    static constexpr Link kLinks[] = {
        {"/", "Estaciones"}, {"/historia", "Historia del día"}, {"/historia/mes", "Mes"}};
    std::string out = "<nav>";
    for (const Link& link : kLinks) {
        out += link.href == current ? "<a aria-current=\"page\" href=\"" : "<a href=\"";
        out += link.href;
        out += "\">";
        out += link.text;
        out += "</a> ";
    }
    out += "<a href=\"/metrics\">Métricas</a></nav>\n";
    return out;
}

} // namespace orvendal::web
