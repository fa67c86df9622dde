// Block decoding of the texture formats that export writes as pictures.
#include "textures/texture_pixels.h"

#include <algorithm>
#include <cstring>

#include "textures/block_palette.h"
#include "textures/texture_formats.h"

namespace linkdata {

namespace {

struct Rgba {
  uint8_t r, g, b, a;
};

// The colour half of a block (8 bytes) into 16 pixels, row by row. In DXT1
// a first colour not above the second selects the three-colour mode, whose
// fourth colour is transparent black; DXT5 always interpolates four colours.
void decode_colours(const uint8_t* block, bool three_colour_mode_allowed, Rgba out[16]) {
  const uint16_t c0 = uint16_t(block[0] | block[1] << 8);
  const uint16_t c1 = uint16_t(block[2] | block[3] << 8);
  const bool three_colour = three_colour_mode_allowed && c0 <= c1;
  Rgb8 rgb[4];
  colour_palette(c0, c1, three_colour, rgb);
  Rgba palette[4];
  for (int i = 0; i < 4; ++i) palette[i] = Rgba{rgb[i].r, rgb[i].g, rgb[i].b, 255};
  if (three_colour) palette[3].a = 0;
  for (int row = 0; row < 4; ++row) {
    const uint8_t bits = block[4 + row];
    for (int col = 0; col < 4; ++col) out[row * 4 + col] = palette[(bits >> (2 * col)) & 3];
  }
}

// The alpha half of a DXT5 block (8 bytes): two end points and sixteen 3-bit
// indices.
void decode_alpha(const uint8_t* block, Rgba out[16]) {
  uint8_t palette[8];
  alpha_palette(block[0], block[1], palette);
  uint64_t bits = 0;
  for (int i = 0; i < 6; ++i) bits |= uint64_t(block[2 + i]) << (8 * i);
  for (int i = 0; i < 16; ++i) out[i].a = palette[(bits >> (3 * i)) & 7];
}

// The alpha half of a DXT3 block (8 bytes): sixteen 4-bit values, row by
// row, the low half of each byte first.
void decode_explicit_alpha(const uint8_t* block, Rgba out[16]) {
  for (int i = 0; i < 16; ++i) {
    const uint8_t a = uint8_t((block[i / 2] >> (4 * (i % 2))) & 15);
    out[i].a = uint8_t(a * 17);
  }
}

// Plain pixels of `bytes` bytes each, red, green and blue at the given byte
// offsets and alpha at `alpha` (or opaque for a negative one).
void decode_plain(const uint8_t* level, uint32_t width, uint32_t height, int bytes, int red,
                  int green, int blue, int alpha, uint8_t* rgba) {
  const size_t pixels = size_t(uint64_t(width) * height);
  for (size_t i = 0; i < pixels; ++i, level += bytes, rgba += 4) {
    rgba[0] = level[red];
    rgba[1] = level[green];
    rgba[2] = level[blue];
    rgba[3] = alpha < 0 ? 255 : level[alpha];
  }
}

// Copies a decoded 4x4 block into the picture, clipped at its right and bottom
// edges. Rgba is four bytes in picture order, so a row of a block is one copy.
void put_block(const Rgba block[16], uint32_t bx, uint32_t by, uint32_t width, uint32_t height,
               uint8_t* rgba) {
  static_assert(sizeof(Rgba) == 4, "a pixel is its four bytes");
  const uint32_t cols = std::min(4u, width - bx * 4);
  for (uint32_t row = 0; row < 4 && by * 4 + row < height; ++row) {
    uint8_t* out = rgba + (uint64_t(by * 4 + row) * width + bx * 4) * 4;
    std::memcpy(out, &block[row * 4], cols * 4);
  }
}

// Every block of a level, row by row, decoded by `decode_block` into the
// picture.
template <typename DecodeBlock>
void decode_blocks(const uint8_t* level, uint32_t width, uint32_t height, size_t block_bytes,
                   DecodeBlock decode_block, uint8_t* rgba) {
  const uint32_t blocks_across = (width + 3) / 4, blocks_down = (height + 3) / 4;
  const uint8_t* block = level;
  Rgba pixels[16];
  for (uint32_t by = 0; by < blocks_down; ++by) {
    for (uint32_t bx = 0; bx < blocks_across; ++bx, block += block_bytes) {
      decode_block(block, pixels);
      put_block(pixels, bx, by, width, height, rgba);
    }
  }
}

}  // namespace

void decode_argb8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  const size_t size = size_t(uint64_t(width) * height * 4);
  for (size_t i = 0; i < size; i += 4) {  // B, G, R, A in the file
    rgba[i + 0] = level[i + 2];
    rgba[i + 1] = level[i + 1];
    rgba[i + 2] = level[i + 0];
    rgba[i + 3] = level[i + 3];
  }
}

void decode_bgrx8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_plain(level, width, height, 4, 2, 1, 0, -1, rgba);
}

void decode_rgba8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_plain(level, width, height, 4, 0, 1, 2, 3, rgba);
}

void decode_rgbx8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_plain(level, width, height, 4, 0, 1, 2, -1, rgba);
}

void decode_bgr8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_plain(level, width, height, 3, 2, 1, 0, -1, rgba);
}

void decode_rgb8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_plain(level, width, height, 3, 0, 1, 2, -1, rgba);
}

void decode_dxt1_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_blocks(
      level, width, height, 8,
      [](const uint8_t* block, Rgba pixels[16]) { decode_colours(block, true, pixels); }, rgba);
}

void decode_dxt5_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_blocks(
      level, width, height, 16,
      [](const uint8_t* block, Rgba pixels[16]) {
        decode_colours(block + 8, false, pixels);
        decode_alpha(block, pixels);
      },
      rgba);
}

void decode_dxt3_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba) {
  decode_blocks(
      level, width, height, 16,
      [](const uint8_t* block, Rgba pixels[16]) {
        decode_colours(block + 8, false, pixels);
        decode_explicit_alpha(block, pixels);
      },
      rgba);
}

uint64_t top_level_bytes(uint8_t format_code, uint32_t width, uint32_t height) {
  const TextureFormat* format = find_texture_format(format_code);
  return format == nullptr ? 0 : level_bytes(format->blocks, width, height);
}

std::vector<uint8_t> decode_to_rgba(uint8_t format_code, uint32_t width, uint32_t height,
                                    const uint8_t* data, size_t size) {
  const TextureFormat* format = find_texture_format(format_code);
  if (format == nullptr) return {};
  const uint64_t needed = level_bytes(format->blocks, width, height);
  if (needed == 0 || data == nullptr || needed > size) return {};
  std::vector<uint8_t> rgba(size_t(uint64_t(width) * height * 4));
  format->decode(data, width, height, rgba.data());
  return rgba;
}

std::vector<uint8_t> decode_to_rgba(const TextureDescription& t, const uint8_t* container,
                                    size_t container_size) {
  if (container == nullptr || t.data_position > container_size) return {};
  return decode_to_rgba(t.format_code, t.width, t.height, container + t.data_position,
                        size_t(container_size - t.data_position));
}

}  // namespace linkdata
