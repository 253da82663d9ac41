#pragma once

#include <cstdint>
#include <span>

namespace orvendal::stationctl {

// The POSIX cksum CRC of `bytes` (length included), the number `cksum FILE` prints, so a script
// can check a file against what stationctl says it wrote without another tool of ours.
std::uint32_t posixCksum(std::span<const std::uint8_t> bytes);

} // namespace orvendal::stationctl
