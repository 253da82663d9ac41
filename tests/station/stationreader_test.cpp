#include "stationreader.h"

#include <gtest/gtest.h>

namespace orvendal::station {
namespace {

TEST(StationFileNameIn, AddsTheSeparatorEvenAfterTheRoot) {
    // An executable in / has "/" for its folder, and the name keeps both slashes, as Windows
    // would give "C:\\MARLOVEN.SIT".
    EXPECT_EQ(stationFileNameIn("/"), "//MARLOVEN.SIT");
    EXPECT_EQ(stationFileNameIn("/opt/orvendal"), "/opt/orvendal/MARLOVEN.SIT");
}

} // namespace
} // namespace orvendal::station
