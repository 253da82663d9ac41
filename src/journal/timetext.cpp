#include "timetext.h"

#include "error.h"

#include <charconv>
#include <cstdio>
#include <optional>

namespace orvendal::journal {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's days_from_civil): the
// local time's UTC offset comes from this, since Windows has neither timegm nor tm_gmtoff.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long civilSeconds(const std::tm& t) {
    return daysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1),
                         static_cast<unsigned>(t.tm_mday)) *
               86400 +
           t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

Error badTime(std::string_view text) {
    return Error(EINVAL, "invalid time \"" + std::string(text) +
                             "\" (expected YYYY-MM-DD[THH:MM[:SS][.fff][Z|+HH:MM]] or "
                             "\"YYYY-MM-DD HH:MM[:SS]\")");
}

// A cursor over the text that reads fixed-width numbers and separators.
struct Reader {
    std::string_view text;
    std::size_t at = 0;

    bool done() const { return at == text.size(); }
    bool take(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    std::optional<int> digits(std::size_t count) {
        if (text.size() - at < count) {
            return std::nullopt;
        }
        int value = 0;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + count, value);
        if (ec != std::errc() || end != text.data() + at + count) {
            return std::nullopt;
        }
        at += count;
        return value;
    }
};

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
    Reader in{text};
    std::tm broken{};
    const auto year = in.digits(4);
    const bool dateOk = year && in.take('-');
    const auto month = dateOk ? in.digits(2) : std::nullopt;
    const auto day = month && in.take('-') ? in.digits(2) : std::nullopt;
    if (!day || *month < 1 || *month > 12 || *day < 1 || *day > 31) {
        throw badTime(text);
    }
    broken.tm_year = *year - 1900;
    broken.tm_mon = *month - 1;
    broken.tm_mday = *day;
    int millis = 0;
    std::optional<long long> offsetMinutes;
    if (!in.done()) {
        if (!in.take('T') && !in.take(' ')) {
            throw badTime(text);
        }
        const auto hour = in.digits(2);
        const auto minute = hour && in.take(':') ? in.digits(2) : std::nullopt;
        if (!minute || *hour > 23 || *minute > 59) {
            throw badTime(text);
        }
        broken.tm_hour = *hour;
        broken.tm_min = *minute;
        if (in.take(':')) {
            const auto second = in.digits(2);
            if (!second || *second > 60) {
                throw badTime(text);
            }
            broken.tm_sec = *second;
            if (in.take('.') || in.take(',')) {
                int scale = 100;
                std::size_t read = 0;
                while (!in.done() && in.text[in.at] >= '0' && in.text[in.at] <= '9') {
                    millis += (in.text[in.at++] - '0') * scale;
                    scale /= 10;
                    ++read;
                }
                if (read == 0) {
                    throw badTime(text);
                }
            }
        }
        if (in.take('Z')) {
            offsetMinutes = 0;
        } else if (!in.done() && (in.text[in.at] == '+' || in.text[in.at] == '-')) {
            const int sign = in.text[in.at++] == '-' ? -1 : 1;
            const auto hours = in.digits(2);
            in.take(':');
            const auto minutes = in.done() ? std::optional<int>(0) : in.digits(2);
            if (!hours || !minutes || *hours > 23 || *minutes > 59) {
                throw badTime(text);
            }
            offsetMinutes = sign * (*hours * 60LL + *minutes);
        }
        if (!in.done()) {
            throw badTime(text);
        }
    }
    long long seconds = 0;
    if (offsetMinutes) {
        seconds = civilSeconds(broken) - *offsetMinutes * 60;
    } else {
        broken.tm_isdst = -1;
        const std::time_t local = std::mktime(&broken);
        if (local == static_cast<std::time_t>(-1)) {
            throw badTime(text);
        }
        seconds = static_cast<long long>(local);
    }
    return fromEpochMilliseconds(seconds * 1000 + millis);
}

} // namespace orvendal::journal
