#pragma once

#include <string>
#include <string_view>

namespace orvendal::web {

// `text` into HTML text or a quoted attribute value, inline SVG's too: & < > " ' as character
// references, and every character printable() shows as U+FFFD likewise (control characters, which
// HTML forbids; line separators; direction marks, which would reverse what follows them).
// Station texts are escaped here, where they leave, never before.
void appendHtml(std::string& out, std::u16string_view text);
void appendHtml(std::string& out, std::string_view utf8);
std::string html(std::u16string_view text);
std::string html(std::string_view utf8);

// A whole page in Spanish: its title, the watcher's stylesheet and icon, `body`, and the page's
// own script from the watcher when one is named ("/estatico/directo.js"), `bodyClass` on its
// body. Nothing inline, so that the Content-Security-Policy allows the watcher's own files alone.
std::string page(std::string_view title, std::string_view body, std::string_view script = {},
                 std::string_view bodyClass = {});

// The links between the pages, the current one marked.
std::string navigation(std::string_view current);

} // namespace orvendal::web
