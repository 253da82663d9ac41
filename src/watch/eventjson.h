#pragma once

#include "events.h"

#include <string>

namespace orvendal::watch {

// One event as the watch command prints it: a JSON object on one line, "time" in local ISO 8601.
std::string eventJson(const station::Event& e);

} // namespace orvendal::watch
