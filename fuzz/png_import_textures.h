// The textures that fuzz_png_import patches PNG files into, shared with the
// seed maker, which paints pictures of their sizes.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/little_endian.h"
#include "textures/container.h"

namespace fuzz_support {

struct PngTarget {
  uint8_t mip_count;
  uint8_t format_code;
  uint8_t exponents;  // height exponent << 4 | width exponent
};

// DXT1 16 wide x 8 high with a mip count of 0 (every level), DXT5 8x8 with 4
// levels, A8R8G8B8 4x4.
constexpr PngTarget kPngTargets[3] = {{0, linkdata::kFormatDxt1, 0x34},
                                      {4, linkdata::kFormatDxt5, 0x33},
                                      {1, linkdata::kFormatArgb8, 0x22}};

inline uint32_t target_width(const PngTarget& t) { return 1u << (t.exponents & 15); }
inline uint32_t target_height(const PngTarget& t) { return 1u << (t.exponents >> 4); }

// A container holding the three textures, pixel data filled with 0xA5.
inline std::vector<uint8_t> png_target_container() {
  std::vector<uint8_t> c(0x20 + 4 * 3, 0);
  std::memcpy(c.data(), linkdata::kTextureMagic, sizeof linkdata::kTextureMagic);
  linkdata::store_u32le(&c[12], 0x20);
  linkdata::store_u32le(&c[16], 3);
  for (uint32_t i = 0; i < 3; ++i) {
    const PngTarget& t = kPngTargets[i];
    linkdata::store_u32le(&c[0x20 + 4 * i], uint32_t(c.size() - 0x20));
    const uint8_t header[8] = {
        uint8_t(t.mip_count << 4), t.format_code, t.exponents, 0, 0, 0, 0, 0};
    c.insert(c.end(), header, header + 8);
    const uint32_t w = target_width(t), h = target_height(t);
    const uint32_t size =
        t.format_code == linkdata::kFormatArgb8
            ? w * h * 4
            : linkdata::block_data_size(w, h, t.mip_count,
                                        t.format_code == linkdata::kFormatDxt1 ? 8 : 16, nullptr);
    c.insert(c.end(), size, 0xA5);
  }
  return c;
}

}  // namespace fuzz_support
