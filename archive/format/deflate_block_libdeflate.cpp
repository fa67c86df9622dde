// The block encoder with libdeflate: at kFastLevel it is about 3.5 times as
// fast as zlib at level 9 and makes no more bytes in total on the data a
// player imports (bench/compress_levels.cpp measures both; the README's
// Benchmark section gives the figures).
#include <libdeflate.h>

#include "archive/format/deflate_block.h"
#include "platform/reusable_objects.h"

namespace linkdata {

namespace {

constexpr int kFastLevel = 7;
// The stronger pass's level: the first of libdeflate's near-optimal levels.
// Beside level 7's streams, levels 8 and 9 take back about an eighth of what
// it takes back at a third of its time, 11 and 12 a tenth more at up to
// twice its time: it takes back the most per second (bench/compress_levels
// on shared libraries and text; the README's Benchmark section).
constexpr int kStrongLevel = 10;

void free_compressor(libdeflate_compressor* c) { libdeflate_free_compressor(c); }

// A compressor serves one call at a time and costs some hundred KiB to set
// up, so compressors are leased for a block and kept for the next one, one
// pool per level; the stronger level's only once a payload has needed it.
using Compressors = ReusableObjects<libdeflate_compressor, free_compressor>;

bool deflate_block_with(Compressors& compressors, int level, const uint8_t* src, uint32_t n,
                        std::vector<uint8_t>* out) {
  const Compressors::Lease compressor =
      compressors.lease([level] { return libdeflate_alloc_compressor(level); });
  if (compressor.get() != nullptr) {
    out->resize(libdeflate_zlib_compress_bound(compressor.get(), n));
    const size_t length =
        libdeflate_zlib_compress(compressor.get(), src, n, out->data(), out->size());
    if (length != 0) {
      out->resize(length);
      return true;
    }
  }
  std::vector<uint8_t>().swap(*out);
  return false;
}

}  // namespace

bool deflate_block_fast(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out) {
  static Compressors compressors;
  return deflate_block_with(compressors, kFastLevel, src, n, out);
}

bool deflate_block_strong(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out) {
  static Compressors compressors;
  return deflate_block_with(compressors, kStrongLevel, src, n, out);
}

bool fast_encoder_is_zlib9() { return false; }

}  // namespace linkdata
