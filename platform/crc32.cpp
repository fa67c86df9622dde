#include "platform/crc32.h"

#ifdef LINKDATA_CRC_WITH_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>

#include <algorithm>
#endif

namespace linkdata {

// The same crc32 either way; libdeflate's uses the CPU's carry-less
// multiply, several times zlib's speed, and every payload, save, record of
// mods and PNG chunk is checksummed.
uint32_t crc32_of(uint32_t crc, const uint8_t* data, size_t n) {
#ifdef LINKDATA_CRC_WITH_LIBDEFLATE
  return libdeflate_crc32(crc, data, n);
#else
  while (n > 0) {
    const uInt piece = uInt(std::min<size_t>(n, 1u << 30));
    crc = uint32_t(crc32(crc, data, piece));
    data += piece;
    n -= piece;
  }
  return crc;
#endif
}

}  // namespace linkdata
