// The chunk inflater with libdeflate, about twice as fast as zlib's inflate on
// whole buffers. Every chunk goes to libdeflate first; one that it refuses
// (broken, cut, a failed check, too long for capacity) goes to zlib's
// `uncompress`, so that a refusal is always zlib's own, with zlib's outcome.
// On a stream that both accept the bytes are the same, since the format fixes
// them. libdeflate also accepts a few constructs that zlib refuses and that no
// encoder writes (see the README's inflater notes and
// fuzz/fuzz_inflate_diff.cpp, which checks every other stream against zlib):
// checking for them would mean walking every block a second time.
#include <libdeflate.h>
#include <zlib.h>

#include "archive/format/inflate_chunk.h"
#include "platform/reusable_objects.h"

namespace linkdata {

namespace {

void free_decompressor(libdeflate_decompressor* d) { libdeflate_free_decompressor(d); }

// A decompressor may serve one call at a time; chunks are inflated on the
// worker threads, each leasing one for a chunk.
ReusableObjects<libdeflate_decompressor, free_decompressor>::Lease lease_decompressor() {
  static ReusableObjects<libdeflate_decompressor, free_decompressor> decompressors;
  return decompressors.lease(libdeflate_alloc_decompressor);
}

}  // namespace

bool inflate_zlib_chunk(const uint8_t* src, size_t n, uint8_t* dest, uint32_t capacity,
                        uint32_t* produced) {
  *produced = 0;
  const auto lease = lease_decompressor();
  libdeflate_decompressor* decompressor = lease.get();
  if (decompressor != nullptr) {
    // Asking for the input actually used lets bytes after the stream's end
    // be, as `uncompress` does; asking for the output size accepts any size
    // up to capacity.
    size_t used_in = 0;
    size_t used_out = 0;
    if (libdeflate_zlib_decompress_ex(decompressor, src, n, dest, capacity, &used_in, &used_out) ==
        LIBDEFLATE_SUCCESS) {
      *produced = uint32_t(used_out);
      return true;
    }
  }
  uLongf length = capacity;
  const bool ok = uncompress(dest, &length, src, uLong(n)) == Z_OK;
  *produced = ok ? uint32_t(length) : 0;
  return ok;
}

}  // namespace linkdata
