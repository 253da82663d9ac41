#include "cksum.h"

namespace orvendal::stationctl {
namespace {

std::uint32_t step(std::uint32_t crc, std::uint8_t byte) {
    crc ^= std::uint32_t{byte} << 24;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

} // namespace

std::uint32_t posixCksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0;
    for (const std::uint8_t b : bytes) {
        crc = step(crc, b);
    }
    // The length follows the data, least significant byte first, as few bytes as it needs.
    for (std::uint64_t n = bytes.size(); n != 0; n >>= 8) {
        crc = step(crc, static_cast<std::uint8_t>(n & 0xFF));
    }
    return ~crc;
}

} // namespace orvendal::stationctl
