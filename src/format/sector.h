#pragma once

#include <cstdint>

namespace trevik {

// Every address on the disk is in 512-byte sectors, whatever the device's own block size.
inline constexpr uint32_t kSectorSize = 512;

} // namespace trevik
