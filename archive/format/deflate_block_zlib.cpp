// The block encoder where libdeflate is not to be had: zlib at level 9.
#include "archive/format/codec.h"
#include "archive/format/deflate_block.h"

namespace linkdata {

bool deflate_block_fast(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out) {
  return compress_block(src, n, out);
}

bool deflate_block_strong(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out) {
  return compress_block(src, n, out);
}

bool fast_encoder_is_zlib9() { return true; }

}  // namespace linkdata
