// The table of texture formats.
#include "textures/texture_formats.h"

#include <iterator>
#include <string>

#include "textures/texture_encode.h"
#include "textures/texture_pixels.h"

namespace linkdata {
namespace {

// One row per format code; see TextureFormat for the fields.
const TextureFormat kFormats[] = {
    {kFormatArgb8,
     "A8R8G8B8",
     PixelBlocks{1, 4},  // plain pixels of 4 bytes
     false,              // the top level only
     DdsPixels::bgra8,
     // Plain 32-bit pixels go by their channel masks: blue, green, red,
     // alpha bytes in memory, as A8R8G8B8 stores them.
     DdsPixelFormat{kDdsPfRgb | kDdsPfAlphaPixels,
                    {0, 0, 0, 0},
                    32,
                    0x00FF0000,
                    0x0000FF00,
                    0x000000FF,
                    0xFF000000},
     {87, 91},  // B8G8R8A8_UNORM, B8G8R8A8_UNORM_SRGB
     decode_argb8_level,
     encode_argb8_level},
    {kFormatDxt1,
     "DXT1",
     PixelBlocks{4, 8},  // BC1: 4x4 blocks of 8 bytes
     true,
     DdsPixels::dxt1,
     DdsPixelFormat{kDdsPfFourCC, {'D', 'X', 'T', '1'}},
     {71, 72},  // BC1_UNORM, BC1_UNORM_SRGB
     decode_dxt1_level,
     encode_dxt1_level},
    {kFormatDxt5,
     "DXT5",
     PixelBlocks{4, 16},  // BC3: 4x4 blocks of 16 bytes
     true,
     DdsPixels::dxt5,
     DdsPixelFormat{kDdsPfFourCC, {'D', 'X', 'T', '5'}},
     {77, 78},  // BC3_UNORM, BC3_UNORM_SRGB
     decode_dxt5_level,
     encode_dxt5_level},
};

}  // namespace

const TextureFormat* find_texture_format(uint8_t code) {
  for (const TextureFormat& f : kFormats) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

const TextureFormat& texture_format_of(DdsPixels pixels) {
  for (const TextureFormat& f : kFormats) {
    if (f.dds_pixels == pixels) return f;
  }
  return kFormats[0];  // not reached: every layout has its row
}

TextureFormatRows all_texture_formats() {
  return TextureFormatRows{std::begin(kFormats), std::end(kFormats)};
}

std::wstring texture_format_label(uint8_t code) {
  const TextureFormat* f = find_texture_format(code);
  if (f == nullptr) return std::to_wstring(code);
  const std::string name = f->name;
  return std::wstring(name.begin(), name.end());
}

uint64_t level_bytes(const PixelBlocks& blocks, uint32_t width, uint32_t height) {
  const uint64_t across = (uint64_t(width) + blocks.side - 1) / blocks.side;
  const uint64_t down = (uint64_t(height) + blocks.side - 1) / blocks.side;
  return across * down * blocks.bytes;
}

uint64_t chain_bytes(const PixelBlocks& blocks, uint32_t width, uint32_t height, uint8_t mip_count,
                     uint32_t* levels_present) {
  uint32_t w = width;
  uint32_t h = height;
  uint64_t size = level_bytes(blocks, w, h);
  uint32_t levels = 1;  // the top level always counts
  const uint8_t further = uint8_t(mip_count - 1);
  for (uint32_t level = 0; level < further; ++level) {
    w /= 2;
    h /= 2;
    if (w == 0 || h == 0) break;  // every later level adds 0 bytes
    size += level_bytes(blocks, w, h);
    ++levels;
  }
  if (levels_present != nullptr) *levels_present = levels;
  return size;
}

uint64_t stored_bytes(const TextureFormat& format, uint32_t width, uint32_t height,
                      uint8_t mip_count, uint32_t* levels_present) {
  if (format.mip_chain) return chain_bytes(format.blocks, width, height, mip_count, levels_present);
  if (levels_present != nullptr) *levels_present = 1;
  return level_bytes(format.blocks, width, height);
}

}  // namespace linkdata
