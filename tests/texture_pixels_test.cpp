// Decoding textures into RGBA pixels, checked against ImageMagick's decoding
// of the DDS files that export writes, and on blocks worked out by hand.
#include "textures/texture_pixels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/modes/dds_files.h"
#include "platform/little_endian.h"
#include "platform/working_paths.h"
#include "test_support.h"
#include "textures/container.h"

namespace linkdata {
namespace {

using Bytes = std::vector<uint8_t>;

#ifdef LINKDATA_IMAGEMAGICK
const std::string kConvert = LINKDATA_IMAGEMAGICK;
#else
const std::string kConvert;
#endif

// A container of one texture whose top level is `pixels`.
Bytes one_texture_container(uint8_t code, uint8_t byte2, const Bytes& pixels) {
  Bytes c(0x24, 0);
  std::memcpy(c.data(), kTextureMagic, 8);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], 1);
  store_u32le(&c[0x20], 4);
  const uint8_t header[8] = {0x10, code, byte2, 0, 0, 0, 0, 0};
  c.insert(c.end(), header, header + 8);
  c.insert(c.end(), pixels.begin(), pixels.end());
  return c;
}

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(n);
  for (uint8_t& b : out) b = uint8_t(random());
  return out;
}

// Every format and a spread of sizes, down to textures smaller than a block.
TEST(TexturePixels, MatchImageMagickOnEveryPixel) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  struct Case {
    uint8_t code, byte2;
  };
  const Case cases[] = {{kFormatDxt1, 0x55}, {kFormatDxt1, 0x00}, {kFormatDxt1, 0x12},
                        {kFormatDxt5, 0x45}, {kFormatDxt5, 0x10}, {kFormatArgb8, 0x34}};
  test::InScratchDir scratch;
  uint32_t entry = 0;
  for (const Case& k : cases) {
    const uint32_t width = 1u << (k.byte2 & 15), height = 1u << (k.byte2 >> 4);
    const Bytes level = random_bytes(size_t(top_level_bytes(k.code, width, height)), entry + 1);
    const Bytes c = one_texture_container(k.code, k.byte2, level);
    extract_textures(L"Textures", c.data(), c.size(), entry, 0);
    const std::string dds = "Textures/" + std::to_string(entry) + "/0_0.dds";
    const std::string raw = std::to_string(entry) + ".rgba";
    const std::string command =
        "\"" + kConvert + "\" \"" + dds + "[0]\" -depth 8 rgba:" + raw + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Bytes theirs = test::read_file(raw);
    const Bytes ours =
        decode_to_rgba(read_texture_container(c.data(), c.size())[0], c.data(), c.size());
    ASSERT_EQ(ours.size(), size_t(width) * height * 4);
    ASSERT_EQ(theirs.size(), ours.size()) << dds;
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
    EXPECT_LE(worst, 2) << "format " << int(k.code) << ", " << width << "x" << height;
    ++entry;
  }
}

// Single blocks whose pixels follow from the formats' definitions.
TEST(TexturePixels, BlocksWorkedOutByHand) {
  struct Case {
    const char* name;
    uint8_t code;
    Bytes block;
    std::vector<uint32_t> pixels;  // 0xRRGGBBAA of pixels 0, 1, 2, 3 (top row)
  };
  const Case cases[] = {
      // White over black, indices 0, 1, 2, 3 in the first row.
      {"dxt1 four colours",
       kFormatDxt1,
       {0xFF, 0xFF, 0, 0, 0xE4, 0, 0, 0},
       {0xFFFFFFFF, 0x000000FF, 0xAAAAAAFF, 0x555555FF}},
      // Black first, white second: the third colour is the mean, the fourth transparent black.
      {"dxt1 three colours",
       kFormatDxt1,
       {0, 0, 0xFF, 0xFF, 0xE4, 0, 0, 0},
       {0x000000FF, 0xFFFFFFFF, 0x7F7F7FFF, 0x00000000}},
      // Pure red, green, blue end points widen to 255.
      {"dxt1 565 widening",
       kFormatDxt1,
       {0x00, 0xF8, 0x1F, 0x00, 0x04, 0, 0, 0},
       {0xFF0000FF, 0x0000FFFF, 0xFF0000FF, 0xFF0000FF}},
      // Alpha 255 over 0 in eight steps; a colour block with c0 < c1 keeps four colours.
      {"dxt5 eight alphas",
       kFormatDxt5,
       {0xFF, 0x00, 0x88, 0x06, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xE4, 0, 0, 0},
       {0x000000FF, 0xFFFFFF00, 0x555555DA, 0xAAAAAAB6}},
      // Alpha 0 under 255: six steps, then 0 and 255 at indices 6 and 7.
      {"dxt5 six alphas",
       kFormatDxt5,
       {0x00, 0xFF, 0xFE, 0x00, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0},
       {0xFFFFFF00, 0xFFFFFFFF, 0xFFFFFF66, 0xFFFFFF00}},
      {"argb8 byte order",
       kFormatArgb8,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {0x03020104, 0x07060508, 0x0B0A090C, 0x0F0E0D10}},
  };
  for (const Case& k : cases) {
    const uint32_t width = 4, height = k.code == kFormatArgb8 ? 1 : 4;
    const Bytes rgba = decode_to_rgba(k.code, width, height, k.block.data(), k.block.size());
    ASSERT_EQ(rgba.size(), size_t(width) * height * 4) << k.name;
    for (size_t i = 0; i < k.pixels.size(); ++i) {
      const uint32_t got = uint32_t(rgba[4 * i]) << 24 | uint32_t(rgba[4 * i + 1]) << 16 |
                           uint32_t(rgba[4 * i + 2]) << 8 | rgba[4 * i + 3];
      EXPECT_EQ(got, k.pixels[i]) << k.name << ", pixel " << i;
    }
  }
}

// Nothing is read beyond the bytes given, and formats without a decoder give nothing.
TEST(TexturePixels, RefusesShortDataAndUnknownFormats) {
  const Bytes eight(8, 0);
  EXPECT_TRUE(decode_to_rgba(kFormatDxt5, 4, 4, eight.data(), eight.size()).empty());
  EXPECT_TRUE(decode_to_rgba(kFormatDxt1, 8, 4, eight.data(), eight.size()).empty());
  EXPECT_TRUE(decode_to_rgba(kFormatArgb8, 2, 2, eight.data(), eight.size()).empty());
  EXPECT_TRUE(decode_to_rgba(2, 1, 1, eight.data(), eight.size()).empty());
  EXPECT_EQ(decode_to_rgba(kFormatDxt1, 4, 4, eight.data(), eight.size()).size(), 64u);
  EXPECT_EQ(decode_to_rgba(kFormatArgb8, 2, 1, eight.data(), eight.size()).size(), 8u);
}

}  // namespace
}  // namespace linkdata
