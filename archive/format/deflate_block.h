// Compressing one 32 KiB block of a payload as one zlib stream. Any valid
// zlib stream decodes the same, so import may use the fastest encoder the
// build has: libdeflate where it is to be had, zlib otherwise (the choice of
// cmake/inflater.cmake). Each is stronger than zlib at level 9 on real data
// in total, but not on every block, which is why the codec can fall back to
// the smaller stream per block (see compress_payload_within).
#pragma once

#include <cstdint>
#include <vector>

namespace linkdata {

// Compresses n source bytes (1..32768) as one zlib stream with the build's
// import encoder into *out, which ends up holding exactly the produced bytes.
// Safe to call on several threads at once: each thread keeps its own
// compressor for all its blocks. False (out emptied) when the encoder fails.
bool deflate_block_fast(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out);

// As deflate_block_fast, with the build's stronger encoder: the first one the
// codec tries on a payload that just misses its limit. With libdeflate it is
// its level 10: kept beside the fast level's stream, block by block, it
// takes back about 2.4% of the fast level's bytes, where zlib's level 9 takes
// back about 0.2% in about the same time. Where the fast encoder is zlib
// level 9 (the zlib build), it is the same encoder.
bool deflate_block_strong(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out);

// Whether deflate_block_fast is another encoder than zlib's compress2 at
// level 9: only then can a block be made smaller by trying zlib as well.
bool fast_encoder_is_zlib9();

}  // namespace linkdata
