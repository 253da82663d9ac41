#include "webtime.h"

#include "timetext.h"

namespace orvendal::web {

std::string dateText(WallClock::time_point t) {
    return journal::isoLocalTime(t).substr(0, 10);
}

std::string clockText(WallClock::time_point t) {
    return journal::isoLocalTime(t).substr(11, 8);
}

std::string atText(WallClock::time_point t, WallClock::time_point reference) {
    const std::string iso = journal::isoLocalTime(t);
    if (iso.compare(0, 10, dateText(reference)) == 0) {
        return "las " + iso.substr(11, 8);
    }
    return "el " + iso.substr(0, 10) + " a las " + iso.substr(11, 8);
}

} // namespace orvendal::web
