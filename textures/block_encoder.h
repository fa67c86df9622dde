// Encoding 4x4 pixel blocks into DXT1 (BC1) and DXT5 (BC3) blocks.
#pragma once

#include <cstdint>

namespace linkdata {

// A block of up to 16 RGBA pixels in row order. Pixels whose bit in `mask`
// is clear lie outside the texture (levels smaller than 4x4) and do not count.
struct PixelBlock {
  uint8_t rgba[16][4] = {};
  uint16_t mask = 0xFFFF;
};

// 8 bytes. Pixels with alpha below 128 become the transparent black of the
// three-colour mode; the others are fitted in whichever mode is closer.
void encode_dxt1_block(const PixelBlock& block, uint8_t out[8]);

// 16 bytes: the alpha block, then a four-colour block.
void encode_dxt5_block(const PixelBlock& block, uint8_t out[16]);

}  // namespace linkdata
