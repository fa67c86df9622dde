// The format table against the code that reads it: for every row, what
// export writes is what import takes back, whatever rows are added later.
#include "textures/texture_formats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/little_endian.h"
#include "textures/container.h"
#include "textures/dds.h"
#include "textures/dds_reader.h"
#include "textures/texture_encode.h"
#include "textures/texture_pixels.h"

namespace linkdata {
namespace {

using Bytes = std::vector<uint8_t>;

// A container of one texture, its pixel data `size` zero bytes.
Bytes one_texture_container(uint8_t byte0, uint8_t code, uint8_t byte2, size_t size) {
  Bytes c(0x2C + size, 0);
  std::memcpy(c.data(), kTextureMagic, sizeof kTextureMagic);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], 1);
  store_u32le(&c[0x20], 4);  // the texture's header follows the table
  c[0x24] = byte0;
  c[0x25] = code;
  c[0x26] = byte2;
  return c;
}

// The DDS file that export writes for a texture names the row's pixels, is
// taken back whole and holds exactly the levels the container stores; the
// row's encoder writes every byte of those levels and none past them.
TEST(TextureFormats, EveryRowReadsBackWhatItWrites) {
  // Byte 0 (mip count << 4) and byte 2 (height exponent << 4 | width
  // exponent): one block, wide, one pixel wide, one pixel, and a mip count
  // of 0 (every halving) on a texture lower than a block.
  const uint8_t shapes[][2] = {
      {0x10, 0x22}, {0x90, 0x35}, {0x90, 0x50}, {0x40, 0x00}, {0x00, 0x13}};
  for (const TextureFormat& f : all_texture_formats()) {
    EXPECT_EQ(find_texture_format(f.code), &f) << f.name;
    // The table of DDS layouts holds the format's own, with its decoder.
    const DdsLayoutFormat& own = dds_layout_format(f.dds_pixels);
    EXPECT_EQ(std::string(own.name), f.name);
    EXPECT_EQ(own.decode, f.decode) << f.name;
    EXPECT_EQ(own.blocks.bytes, f.blocks.bytes) << f.name;
    for (const auto& shape : shapes) {
      const uint32_t width = 1u << (shape[1] & 15), height = 1u << (shape[1] >> 4);
      const uint64_t bytes = stored_bytes(f, width, height, uint8_t(shape[0] >> 4), nullptr);
      const Bytes c = one_texture_container(shape[0], f.code, shape[1], size_t(bytes));
      const std::vector<TextureDescription> read = read_texture_container(c.data(), c.size());
      ASSERT_EQ(read.size(), 1u);
      const TextureDescription& t = read[0];
      const std::string what = std::string(f.name) + " " + std::to_string(width) + "x" +
                               std::to_string(height) + " " + std::to_string(shape[0] >> 4);
      ASSERT_TRUE(exported_as_dds(t)) << what;

      const auto header = build_dds_header(t);
      DdsLayout layout;
      ASSERT_EQ(read_dds_header(header.data(), header.size(), &layout), DdsHeaderStatus::ok)
          << what;
      EXPECT_EQ(layout.pixels, f.dds_pixels) << what;
      EXPECT_EQ(layout.width, width) << what;
      EXPECT_EQ(layout.height, height) << what;
      const uint64_t file_size = kDdsHeaderSize + uint64_t(t.data_size);
      EXPECT_EQ(dds_fits_texture(layout, file_size, t), DdsFit::fits) << what;
      EXPECT_EQ(dds_levels_held(layout, file_size), t.levels_present) << what;

      // Written over zeros and over ones, the levels come out the same (every
      // byte written), and the guard bytes behind them stay as they were.
      Bytes rgba(size_t(width) * height * 4);
      for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 37 + 11);
      constexpr size_t kGuard = 32;
      Bytes over_zeros(t.data_size + kGuard, 0x00), over_ones(t.data_size + kGuard, 0xFF);
      ASSERT_TRUE(encode_texture_pixels(rgba.data(), t, over_zeros.data())) << what;
      ASSERT_TRUE(encode_texture_pixels(rgba.data(), t, over_ones.data())) << what;
      EXPECT_TRUE(
          std::equal(over_zeros.begin(), over_zeros.begin() + t.data_size, over_ones.begin()))
          << what;
      EXPECT_EQ(Bytes(over_zeros.begin() + t.data_size, over_zeros.end()), Bytes(kGuard, 0x00))
          << what;
      EXPECT_EQ(Bytes(over_ones.begin() + t.data_size, over_ones.end()), Bytes(kGuard, 0xFF))
          << what;
      EXPECT_EQ(decode_to_rgba(f.code, width, height, over_zeros.data(), t.data_size).size(),
                rgba.size())
          << what;
    }
  }
}

}  // namespace
}  // namespace linkdata
