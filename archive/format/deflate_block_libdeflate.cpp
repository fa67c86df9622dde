// The block encoder with libdeflate: at kFastLevel it is about 3.5 times as
// fast as zlib at level 9 and makes no more bytes in total on the data a
// player imports (bench/compress_levels.cpp measures both; the README's
// Benchmark section gives the figures).
#include <libdeflate.h>

#include <memory>

#include "archive/format/deflate_block.h"

namespace linkdata {

namespace {

constexpr int kFastLevel = 7;
// The stronger pass's level: the first of libdeflate's near-optimal levels.
// Beside level 7's streams, levels 8 and 9 take back about an eighth of what
// it takes back at a third of its time, 11 and 12 a tenth more at up to
// twice its time: it takes back the most per second (bench/compress_levels
// on shared libraries and text; the README's Benchmark section).
constexpr int kStrongLevel = 10;

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

// A compressor serves one call at a time and costs some hundred KiB to set
// up, so each thread keeps one of each level for all the blocks it
// compresses; the stronger one only once a payload has needed it.
libdeflate_compressor* thread_compressor(Compressor& compressor, int level) {
  if (!compressor) compressor.reset(libdeflate_alloc_compressor(level));
  return compressor.get();
}

bool deflate_block_with(libdeflate_compressor* compressor, const uint8_t* src, uint32_t n,
                        std::vector<uint8_t>* out) {
  if (compressor != nullptr) {
    out->resize(libdeflate_zlib_compress_bound(compressor, n));
    const size_t length = libdeflate_zlib_compress(compressor, src, n, out->data(), out->size());
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
  thread_local Compressor compressor;
  return deflate_block_with(thread_compressor(compressor, kFastLevel), src, n, out);
}

bool deflate_block_strong(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out) {
  thread_local Compressor compressor;
  return deflate_block_with(thread_compressor(compressor, kStrongLevel), src, n, out);
}

bool fast_encoder_is_zlib9() { return false; }

}  // namespace linkdata
