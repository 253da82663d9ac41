#pragma once

#include "weblimits.h"

#include <httplib.h>

#include <optional>
#include <semaphore>
#include <string>

namespace orvendal::web {

// "/historia", a day (or a range of up to a week) as pictures, and "/historia/mes", each day's
// peak of a month, from the watcher's journal. The work per request is bounded: so many
// sessions at most, said when more were left out, and two pages drawn at once; one more waits
// a little, then is answered 503.
class HistoryPages {
public:
    HistoryPages(std::optional<std::string> journal, Counters& counters);

    void day(const httplib::Request& request, httplib::Response& response);
    void month(const httplib::Request& request, httplib::Response& response);
    // "/api/history?since=HORA&until=HORA": the object of `stationctl history --json`, or its
    // CSV, refused as the command refuses (400, in Spanish), and refused as well when the range
    // holds more than 100,000 sessions.
    void api(const httplib::Request& request, httplib::Response& response, bool csv);

private:
    // Whether a page may be drawn now; answers the response when not, as HTML or as text.
    bool admit(httplib::Response& response, bool page = true);

    std::optional<std::string> journal_;
    Counters& counters_;
    std::counting_semaphore<2> drawing_{2};
};

// `text` for a URL's query: everything but letters, digits and -._~ as %HH.
std::string queryValue(std::string_view text);

} // namespace orvendal::web
