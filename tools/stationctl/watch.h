#pragma once

#include "arguments.h"
#include "watchoptions.h"
#include "webserver.h"

#include <optional>

namespace orvendal::stationctl {

// The watch command's arguments (FILE and its options) as the watcher's options; throws
// UsageError. The Windows service's run takes the same.
watch::Options watchOptions(const Arguments& args);

// The web page's options (--listen, --web-config), none without --listen; throws UsageError.
std::optional<web::WebOptions> watchWebOptions(const Arguments& args,
                                               const watch::Options& options);

} // namespace orvendal::stationctl
