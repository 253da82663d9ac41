#include "error.h"
#include "stationtexts.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace orvendal::ui {
namespace {

// A page or a command shows the caption of any reading, outages and the marker together
// included, which the window never asks for.
TEST(StationCaption, ShowsTheTallyWhatIsLeftOutAndTheMarkerOnlyOfAReadFile) {
    const auto reading = [](std::uint64_t records, std::size_t listed) {
        station::StationReading r;
        r.tally = 42;
        r.records = records;
        r.stations.resize(listed);
        return r;
    };
    station::StationReading cannotOpen = reading(3, 0);
    cannotOpen.openFailure = Error::fromErrno(ENOENT);
    station::StationReading cannotRead = reading(3, 2);
    cannotRead.failure = Error(errc::RecordLocked, "registro bloqueado por otro proceso");
    const struct {
        station::StationReading reading;
        bool lock;
        std::u16string caption;
    } cases[] = {
        {reading(0, 0), false, u"Conexiones activas: 42"},
        {reading(3, 2), true, u"Conexiones activas: 42 LOCK"},
        {reading(13'000'000, 10'000), true, u"Conexiones activas: 42 [10000 de 12999999] LOCK"},
        {cannotOpen, true, u"Conexiones activas: sin acceso"},
        {cannotRead, false, u"Conexiones activas: sin acceso"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stationCaption(c.reading, c.lock), c.caption);
    }
}

} // namespace
} // namespace orvendal::ui
