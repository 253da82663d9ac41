#include "error.h"
#include "timetext.h"

namespace orvendal::journal {

std::tm localTime(std::time_t time) {
    std::tm broken{};
    if (const errno_t err = ::localtime_s(&broken, &time); err != 0) {
        throw Error::fromErrno(err, "localtime_s");
    }
    return broken;
}

} // namespace orvendal::journal
