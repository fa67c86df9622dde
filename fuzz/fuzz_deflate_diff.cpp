// The import's encoders against zlib's decoder: every stream that the build's
// block encoder (libdeflate where the build has it), its stronger encoder or
// zlib level 9 makes of a block must begin with 0x78 and inflate with zlib's
// `uncompress` to exactly that block; and a payload encoded within a limit
// must keep to it, decode to the source, and be given up only when each
// block's smaller stream beside zlib level 9's does not fit either, nor (for
// a fast payload over the limit by a 32nd of it at most) beside the stronger
// encoder's. zlib and libdeflate are not instrumented: the inputs' variety
// comes from the seeds (entry contents of the sample archive: text, mixed and
// texture data) and their mutations.
//
// Byte 0 sets the limit, as a share (byte 0 / 255) of the payload that
// compress_payload makes; the rest is the source, cut into 32 KiB blocks.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/deflate_block.h"

using namespace linkdata;

namespace {

using Bytes = std::vector<uint8_t>;

void check_stream(const Bytes& stream, const uint8_t* block, uint32_t n) {
  if (stream.empty() || stream[0] != kZlibMarker) __builtin_trap();
  Bytes out(kChunkOutputLimit);
  uLongf length = uLongf(out.size());
  if (uncompress(out.data(), &length, stream.data(), uLong(stream.size())) != Z_OK)
    __builtin_trap();
  if (length != n || std::memcmp(out.data(), block, n) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t* src = data + 1;
  const uint32_t n = uint32_t(size - 1);
  uint64_t smallest = 8;   // the payload of each block's smaller stream beside zlib 9's
  uint64_t strongest = 8;  // the same beside the stronger encoder's
  for (uint32_t pos = 0; pos < n; pos += kBlockSize) {
    const uint32_t length = n - pos < kBlockSize ? n - pos : kBlockSize;
    Bytes fast;
    Bytes strong;
    Bytes zlib9;
    if (!deflate_block_fast(src + pos, length, &fast) ||
        !deflate_block_strong(src + pos, length, &strong) ||
        !compress_block(src + pos, length, &zlib9)) {
      __builtin_trap();
    }
    check_stream(fast, src + pos, length);
    check_stream(strong, src + pos, length);
    check_stream(zlib9, src + pos, length);
    smallest += 4 + (zlib9.size() < fast.size() ? zlib9.size() : fast.size());
    strongest += 4 + (strong.size() < fast.size() ? strong.size() : fast.size());
  }
  // The payload without a limit (compress_payload's, which lives in the test
  // support and is not linked here).
  const EncodeResult unlimited = compress_payload_within(src, n, UINT64_MAX);
  if (unlimited.status != EncodeStatus::ok) __builtin_trap();
  const std::vector<uint8_t>* full = &unlimited.payload;
  const uint64_t limit = full->size() * uint64_t(data[0]) / 255;
  const EncodeResult within = compress_payload_within(src, n, limit);
  if (within.status == EncodeStatus::failed) __builtin_trap();
  const bool near = full->size() <= limit + limit / 32;
  const bool fits = smallest <= limit || (near && strongest <= limit);
  if ((within.status == EncodeStatus::ok) != fits) __builtin_trap();
  if (within.status == EncodeStatus::ok) {
    if (within.payload.size() > limit) __builtin_trap();
    const DecodeResult back = decode_payload(within.payload.data(), within.payload.size(),
                                             uint32_t(within.payload.size()));
    if (back.status != DecodeStatus::ok || back.content.size() != n ||
        std::memcmp(back.content.data(), src, n) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
