// The chunk inflater where libdeflate is not to be had: zlib's own.
#include <zlib.h>

#include "archive/format/inflate_chunk.h"

namespace linkdata {

bool inflate_zlib_chunk(const uint8_t* src, size_t n, uint8_t* dest, uint32_t capacity,
                        uint32_t* produced) {
  uLongf length = capacity;
  const bool ok = uncompress(dest, &length, src, uLong(n)) == Z_OK;
  *produced = ok ? uint32_t(length) : 0;
  return ok;
}

}  // namespace linkdata
