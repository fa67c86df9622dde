// The chunk inflater with libdeflate, about twice as fast as zlib's inflate on
// whole buffers. libdeflate accepts some streams that zlib rejects: length
// symbols 286 and 287 and distance symbols 30 and 31 (in fixed blocks, or in
// dynamic blocks that declare more than 286 or 30 codes) and a code-length
// repeat running past the declared codes. A stream whose first block is also
// its last, stored or dynamic with a header free of all that, can hold none of
// them, and such are the chunks the encoder writes for blocks of 32 KiB. Every
// other stream, and every one that libdeflate refuses, is left to zlib's
// `uncompress`, so that its outcome is zlib's in every case; that this holds
// is what fuzz/fuzz_inflate_diff.cpp checks.
#include <libdeflate.h>
#include <zlib.h>

#include <memory>

#include "archive/inflate_chunk.h"

namespace linkdata {

namespace {

struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// A decompressor may serve one call at a time; chunks are inflated on the
// worker threads, so each thread keeps its own for all its chunks.
libdeflate_decompressor* thread_decompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor;
  if (!decompressor) decompressor.reset(libdeflate_alloc_decompressor());
  return decompressor.get();
}

// Deflate's bits, least significant first; reading past the end fails.
struct BitReader {
  const uint8_t* data;
  size_t size;
  size_t bit = 0;

  bool read(int count, unsigned* value) {
    *value = 0;
    for (int i = 0; i < count; ++i, ++bit) {
      if (bit / 8 >= size) return false;
      *value |= unsigned((data[bit / 8] >> (bit % 8)) & 1) << i;
    }
    return true;
  }
};

// A canonical Huffman code from its code lengths (0 = unused, at most 15).
struct Code {
  unsigned count[16] = {};  // codes of each length
  unsigned symbol[19] = {};  // symbols by code, shortest first; only the precode is decoded
};

// True for a complete code: one that is neither over-subscribed nor leaves
// codes unused. zlib and libdeflate treat the other kinds alike only mostly.
bool complete(const unsigned* lengths, unsigned n, unsigned count[16]) {
  for (unsigned i = 0; i < n; ++i) ++count[lengths[i]];
  int left = 1;
  for (int len = 1; len < 16; ++len) {
    left = left * 2 - int(count[len]);
    if (left < 0) return false;
  }
  return left == 0;
}

// The precode of a dynamic block, complete and ready to decode with.
bool build_precode(const unsigned* lengths, Code* code) {
  if (!complete(lengths, 19, code->count)) return false;
  unsigned offset[16] = {};
  for (int len = 1; len < 15; ++len) offset[len + 1] = offset[len] + code->count[len];
  for (unsigned i = 0; i < 19; ++i)
    if (lengths[i] != 0) code->symbol[offset[lengths[i]]++] = i;
  return true;
}

bool decode(BitReader& in, const Code& code, unsigned* symbol) {
  unsigned value = 0;
  unsigned first = 0;
  unsigned index = 0;
  for (int len = 1; len < 16; ++len) {
    unsigned bit = 0;
    if (!in.read(1, &bit)) return false;
    value |= bit;
    if (value - first < code.count[len]) {
      *symbol = code.symbol[index + value - first];
      return true;
    }
    index += code.count[len];
    first = (first + code.count[len]) << 1;
    value <<= 1;
  }
  return false;
}

// Whether libdeflate's outcome on this stream is zlib's: its first block is
// the last one and is stored, or dynamic with at most 286 length and 30
// distance codes, complete codes, the end-of-block code, and repeats that
// stay within the declared codes. The zlib header is libdeflate's to check.
bool libdeflate_agrees_with_zlib(const uint8_t* src, size_t n) {
  if (n < 2) return false;
  BitReader in{src + 2, n - 2};
  unsigned final_block = 0;
  unsigned type = 0;
  if (!in.read(1, &final_block) || !in.read(2, &type) || final_block == 0) return false;
  if (type == 0) return true;
  if (type != 2) return false;

  unsigned hlit = 0;
  unsigned hdist = 0;
  unsigned hclen = 0;
  if (!in.read(5, &hlit) || !in.read(5, &hdist) || !in.read(4, &hclen)) return false;
  if (hlit > 29 || hdist > 29) return false;
  const unsigned lengths_count = 257 + hlit;
  const unsigned distances_count = 1 + hdist;

  static const unsigned kPrecodeOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                             11, 4,  12, 3, 13, 2, 14, 1, 15};
  unsigned precode_lengths[19] = {};
  for (unsigned i = 0; i < hclen + 4; ++i) {
    if (!in.read(3, &precode_lengths[kPrecodeOrder[i]])) return false;
  }
  Code precode;
  if (!build_precode(precode_lengths, &precode)) return false;

  unsigned lengths[320] = {};
  const unsigned total = lengths_count + distances_count;
  for (unsigned i = 0; i < total;) {
    unsigned symbol = 0;
    if (!decode(in, precode, &symbol)) return false;
    if (symbol < 16) {
      lengths[i++] = symbol;
      continue;
    }
    unsigned value = 0;
    unsigned repeat = 0;
    if (symbol == 16) {
      if (i == 0 || !in.read(2, &repeat)) return false;
      value = lengths[i - 1];
      repeat += 3;
    } else if (symbol == 17) {
      if (!in.read(3, &repeat)) return false;
      repeat += 3;
    } else {
      if (!in.read(7, &repeat)) return false;
      repeat += 11;
    }
    if (repeat > total - i) return false;
    while (repeat-- > 0) lengths[i++] = value;
  }
  if (lengths[256] == 0) return false;
  unsigned literal_count[16] = {};
  unsigned distance_count[16] = {};
  return complete(lengths, lengths_count, literal_count) &&
         complete(lengths + lengths_count, distances_count, distance_count);
}

}  // namespace

bool inflate_zlib_chunk(const uint8_t* src, size_t n, uint8_t* dest, uint32_t capacity,
                        uint32_t* produced) {
  *produced = 0;
  libdeflate_decompressor* decompressor = thread_decompressor();
  if (decompressor != nullptr && libdeflate_agrees_with_zlib(src, n)) {
    // Asking for the input actually used lets bytes after the stream's end
    // be, as `uncompress` does; asking for the output size accepts any size
    // up to capacity.
    size_t used_in = 0;
    size_t used_out = 0;
    if (libdeflate_zlib_decompress_ex(decompressor, src, n, dest, capacity, &used_in,
                                      &used_out) == LIBDEFLATE_SUCCESS) {
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
