#include "stationfilesetting.h"

namespace orvendal::files {

// On Windows the station file comes from the command line that the installer's Start menu entry
// holds, or is the one beside the program: no settings file is read.
std::optional<StationFileSetting> configuredStationFile() {
    return std::nullopt;
}

} // namespace orvendal::files
