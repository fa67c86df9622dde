#include "textures/texture_encode.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "textures/block_encoder.h"
#include "textures/texture_formats.h"

#define STBIR_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>

namespace linkdata {
namespace {

PixelBlock block_at(const uint8_t* rgba, uint32_t width, uint32_t height, uint32_t bx,
                    uint32_t by) {
  PixelBlock block;
  block.mask = 0;
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 0; x < 4; ++x) {
      const uint32_t px = bx * 4 + x, py = by * 4 + y;
      if (px >= width || py >= height) continue;
      std::memcpy(block.rgba[y * 4 + x], rgba + (size_t(py) * width + px) * 4, 4);
      block.mask = uint16_t(block.mask | 1u << (y * 4 + x));
    }
  }
  return block;
}

}  // namespace

RgbaLevel halve_level(const uint8_t* rgba, uint32_t width, uint32_t height) {
  RgbaLevel level;
  level.width = width / 2;
  level.height = height / 2;
  level.pixels.resize(size_t(level.width) * level.height * 4);
  // For an exact halving the box filter is the 2x2 average; colour is
  // averaged as light (sRGB decoded), alpha linearly, each colour weighted
  // by its alpha so that invisible pixels do not bleed into visible ones.
  stbir_resize_uint8_generic(rgba, int(width), int(height), 0, level.pixels.data(),
                             int(level.width), int(level.height), 0, 4, 3, 0, STBIR_EDGE_CLAMP,
                             STBIR_FILTER_BOX, STBIR_COLORSPACE_SRGB, nullptr);
  return level;
}

namespace {

using EncodeBlock = void (*)(const PixelBlock& block, uint8_t* out);

void encode_block_rows(const uint8_t* rgba, uint32_t width, uint32_t height,
                       EncodeBlock encode_block, size_t block_bytes, uint32_t first_row,
                       uint32_t end_row, uint8_t* out) {
  out += size_t(first_row) * ((width + 3) / 4) * block_bytes;
  for (uint32_t by = first_row; by < end_row; ++by) {
    // A row of blocks of the largest texture takes some tens of milliseconds.
    if (platform::interrupt_requested()) return;
    for (uint32_t bx = 0; bx < (width + 3) / 4; ++bx) {
      encode_block(block_at(rgba, width, height, bx, by), out);
      out += block_bytes;
    }
  }
}

bool encode_block_level(const uint8_t* rgba, uint32_t width, uint32_t height,
                        EncodeBlock encode_block, size_t block_bytes, uint8_t* out,
                        unsigned threads) {
  const uint32_t rows = (height + 3) / 4;
  // Each thread takes a band of block rows; blocks are independent, so the
  // result does not depend on the number of threads.
  const uint32_t bands = std::max(1u, std::min<uint32_t>(threads, rows));
  std::vector<std::thread> helpers;
  uint32_t first = 0;
  for (uint32_t band = 0; band < bands; ++band) {
    const uint32_t end = uint32_t(uint64_t(rows) * (band + 1) / bands);
    if (band + 1 < bands) {
      try {
        helpers.emplace_back(encode_block_rows, rgba, width, height, encode_block, block_bytes,
                             first, end, out);
        first = end;
        continue;
      } catch (const std::system_error&) {
        // No thread to be had: this band and the rest run here.
      }
    }
    encode_block_rows(rgba, width, height, encode_block, block_bytes, first, rows, out);
    break;
  }
  for (std::thread& t : helpers) t.join();
  return !platform::interrupt_requested();
}

}  // namespace

bool encode_argb8_level(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* out,
                        unsigned /*threads*/) {
  for (size_t i = 0; i < size_t(width) * height; ++i) {
    out[i * 4 + 0] = rgba[i * 4 + 2];
    out[i * 4 + 1] = rgba[i * 4 + 1];
    out[i * 4 + 2] = rgba[i * 4 + 0];
    out[i * 4 + 3] = rgba[i * 4 + 3];
  }
  return true;
}

bool encode_dxt1_level(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* out,
                       unsigned threads) {
  return encode_block_level(rgba, width, height, encode_dxt1_block, 8, out, threads);
}

bool encode_dxt5_level(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* out,
                       unsigned threads) {
  return encode_block_level(rgba, width, height, encode_dxt5_block, 16, out, threads);
}

bool encode_blocks(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t format_code,
                   uint8_t* out, unsigned threads) {
  const TextureFormat* format = find_texture_format(format_code);
  return format == nullptr || format->encode(rgba, width, height, out, threads);
}

bool encode_levels(const uint8_t* rgba, uint32_t width, uint32_t height,
                   const TextureFormat& format, uint32_t count, uint8_t* out, unsigned threads) {
  RgbaLevel level;
  const uint8_t* pixels = rgba;
  uint32_t w = width, h = height;
  for (uint32_t k = 0; k < count; ++k) {
    if (k > 0) {
      level = halve_level(pixels, w, h);
      pixels = level.pixels.data();
      w = level.width;
      h = level.height;
    }
    if (!format.encode(pixels, w, h, out, threads)) return false;
    out += size_t(level_bytes(format.blocks, w, h));
  }
  return true;
}

bool encode_texture_pixels(const uint8_t* rgba, const TextureDescription& t, uint8_t* out,
                           unsigned threads) {
  const TextureFormat* format = find_texture_format(t.format_code);
  if (format == nullptr) return true;  // nothing of it is written
  // The levels that the container counts are those whose halved sides are
  // both still at least 1; every further one holds no bytes. A format
  // without a mip chain has its top level only.
  const uint32_t levels = format->mip_chain ? t.levels_present : 1;
  return encode_levels(rgba, t.width, t.height, *format, levels, out, threads);
}

bool complete_levels(const TextureDescription& t, uint32_t given, uint8_t* pixels,
                     unsigned threads) {
  const TextureFormat* format = find_texture_format(t.format_code);
  if (format == nullptr || !format->mip_chain || given == 0 || given >= t.levels_present) {
    return true;
  }
  uint32_t w = t.width, h = t.height;
  for (uint32_t k = 0; k + 1 < given; ++k) {
    pixels += size_t(level_bytes(format->blocks, w, h));
    w /= 2;
    h /= 2;
  }
  // The last level given, as the file's author made it, is where the others
  // come from: each further one is its half, as a picture's levels are made.
  std::vector<uint8_t> last(size_t(w) * h * 4);
  format->decode(pixels, w, h, last.data());
  const RgbaLevel below = halve_level(last.data(), w, h);
  pixels += size_t(level_bytes(format->blocks, w, h));
  return encode_levels(below.pixels.data(), below.width, below.height, *format,
                       t.levels_present - given, pixels, threads);
}

}  // namespace linkdata
