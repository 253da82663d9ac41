#pragma once

#include "arguments.h"
#include "watchoptions.h"

namespace orvendal::stationctl {

// The watch command's arguments (FILE and its options) as the watcher's options; throws
// UsageError. The Windows service's run takes the same.
watch::Options watchOptions(const Arguments& args);

} // namespace orvendal::stationctl
