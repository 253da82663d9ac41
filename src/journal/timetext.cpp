#include "timetext.h"

#include "error.h"

#include <date/date.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>

namespace orvendal::journal {
namespace {

using LocalMilliseconds = date::local_time<Milliseconds>;

constexpr int kFirstYear = 1900;
constexpr int kLastYear = 2200;

long long civilSeconds(const std::tm& t) {
    const date::year_month_day day{date::year{t.tm_year + 1900},
                                   date::month{static_cast<unsigned>(t.tm_mon + 1)},
                                   date::day{static_cast<unsigned>(t.tm_mday)}};
    return date::sys_days(day).time_since_epoch().count() * 86400LL + t.tm_hour * 3600LL +
           t.tm_min * 60LL + t.tm_sec;
}

Error badTime(std::string_view text, const std::string& why) {
    return Error(errnoCode(EINVAL), "hora no válida \"" + std::string(text) + "\" (" + why +
                             "; se escribe AAAA-MM-DD, AAAA-MM-DDTHH:MM[:SS[.fff]][Z|+HH:MM], "
                             "\"AAAA-MM-DD HH:MM[:SS]\" o now)");
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `text` is `shape` with a digit wherever the shape has '9'. date::parse alone would also
// take one-digit fields, signs and blanks where the forms have fixed-width numbers.
bool shaped(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == '9' ? !isDigit(text[i]) : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// The UTC offset at the end of `text` in minutes ("Z", "+01", "+0100", "+01:00"), taken off it;
// nothing when it has none.
std::optional<int> takeOffset(std::string_view& text, std::string_view whole) {
    if (text.ends_with('Z')) {
        text.remove_suffix(1);
        return 0;
    }
    // Past the date's own dashes.
    const auto sign = text.find_first_of("+-", 10);
    if (sign == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view offset = text.substr(sign);
    text = text.substr(0, sign);
    if (!shaped(offset.substr(1), "99") && !shaped(offset.substr(1), "9999") &&
        !shaped(offset.substr(1), "99:99")) {
        throw badTime(whole, "la diferencia con UTC se escribe +HH:MM, +HHMM o +HH");
    }
    const int hours = (offset[1] - '0') * 10 + (offset[2] - '0');
    const int minutes =
        offset.size() == 3 ? 0 : (offset[offset.size() - 2] - '0') * 10 + (offset.back() - '0');
    if (hours > 23 || minutes > 59) {
        throw badTime(whole, "la diferencia con UTC no existe");
    }
    return (offset[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

// The date and time as written, without its offset, checked by date::parse: a day that its month
// does not have, or an hour, minute or second out of its range, is refused rather than rolled
// over into the next.
LocalMilliseconds parseLocal(std::string body, std::string_view whole) {
    const char* format = "%Y-%m-%d";
    if (body.size() > 10) {
        if (body[10] != 'T' && body[10] != ' ') {
            throw badTime(whole, "tras la fecha va T o un espacio");
        }
        body[10] = 'T';
        format = "%Y-%m-%dT%H:%M";
    }
    if (body.size() > 16) {
        format = "%Y-%m-%dT%H:%M:%S";
    }
    // A fraction of a second, with a point or a comma: milliseconds count, further digits not.
    if (body.size() > 19 && (body[19] == '.' || body[19] == ',')) {
        body[19] = '.';
        const auto digits = body.find_first_not_of("0123456789", 20);
        if (body.size() == 20 || digits != std::string::npos) {
            throw badTime(whole, "tras el punto van las fracciones de segundo");
        }
        body.resize(std::min<std::size_t>(body.size(), 23));
        body.append(23 - body.size(), '0');
    }
    const bool fits = shaped(body, "9999-99-99") || shaped(body, "9999-99-99T99:99") ||
                      shaped(body, "9999-99-99T99:99:99") ||
                      shaped(body, "9999-99-99T99:99:99.999");
    if (!fits) {
        throw badTime(whole, "no tiene ninguna de las formas admitidas");
    }
    std::istringstream in(body);
    LocalMilliseconds time;
    in >> date::parse(format, time);
    if (in.fail() || in.peek() != std::char_traits<char>::eof()) {
        throw badTime(whole, "esa fecha u hora no existe");
    }
    // The clock counts nanoseconds in 64 bits: from 1677 to 2262 only.
    const date::year year = date::year_month_day(date::floor<date::days>(time)).year();
    if (year < date::year(kFirstYear) || year > date::year(kLastYear)) {
        throw badTime(whole, "el año va de " + std::to_string(kFirstYear) + " a " +
                                 std::to_string(kLastYear));
    }
    return time;
}

} // namespace

std::string isoLocalTime(WallClock::time_point time) {
    const long long ms = epochMilliseconds(time);
    const long long seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    const std::tm local = localTime(static_cast<std::time_t>(seconds));
    const long long offset = (civilSeconds(local) - seconds) / 60;
    const long long magnitude = offset < 0 ? -offset : offset;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02lld:%02lld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(ms - seconds * 1000),
                  offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return buffer;
}

WallClock::time_point parseTime(std::string_view text) {
    if (text == "now") {
        return WallClock::now();
    }
    std::string_view body = text;
    const std::optional<int> offset = body.size() > 10 ? takeOffset(body, text) : std::nullopt;
    if (offset && body.size() <= 10) {
        throw badTime(text, "una fecha sola no lleva diferencia con UTC");
    }
    const LocalMilliseconds local = parseLocal(std::string(body), text);
    const auto sinceEpoch = local.time_since_epoch();
    if (offset) {
        return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
            sinceEpoch - std::chrono::minutes(*offset)));
    }
    const auto day = date::floor<date::days>(local);
    const date::year_month_day ymd(day);
    const date::hh_mm_ss<Milliseconds> clock(local - day);
    std::tm broken{};
    broken.tm_year = static_cast<int>(ymd.year()) - 1900;
    broken.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    broken.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    broken.tm_hour = static_cast<int>(clock.hours().count());
    broken.tm_min = static_cast<int>(clock.minutes().count());
    broken.tm_sec = static_cast<int>(clock.seconds().count());
    broken.tm_isdst = -1;
    std::tm normalised = broken;
    const std::time_t seconds = std::mktime(&normalised);
    if (seconds == static_cast<std::time_t>(-1)) {
        throw badTime(text, "el sistema no sabe convertir esa hora local");
    }
    // mktime moves a time that the clocks skip when summer time starts; such a time never was.
    if (normalised.tm_hour != broken.tm_hour || normalised.tm_min != broken.tm_min ||
        normalised.tm_mday != broken.tm_mday) {
        throw badTime(text, "esa hora no existe en la hora local: los relojes la saltan");
    }
    return fromEpochMilliseconds(static_cast<long long>(seconds) * 1000 +
                                 clock.subseconds().count());
}

} // namespace orvendal::journal
