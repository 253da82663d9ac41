#pragma once

#include "sharedfile.h"

#include <cstdint>

namespace orvendal::files {

// How locks show on a file of the file system whose statfs f_type is `fileSystemType`.
LockDetection lockDetectionOf(std::int64_t fileSystemType);

} // namespace orvendal::files
