// The crc32 of zlib and PNG, with the fastest library the build has.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkdata {

// crc continues from an earlier crc32 (0 to begin).
uint32_t crc32_of(uint32_t crc, const uint8_t* data, size_t n);

}  // namespace linkdata
