// Parts 3.1 and 3.2: texture container reading and DDS output.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "archive/modes/dds_files.h"
#include "platform/file_change_hook.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"
#include "platform/working_paths.h"
#include "test_support.h"
#include "textures/container.h"
#include "textures/dds.h"

namespace linkdata {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Building containers

struct Tex {
  uint8_t byte0 = 0x10;  // mip count in the high nibble
  uint8_t code = 8;
  uint8_t byte2 = 0x00;  // height exponent << 4 | width exponent
  uint32_t pixel_bytes = 0;
  uint8_t ext_flag = 0;
  uint32_t ext_len = 0;  // whole extension block, length field included
};

// Pixel byte k of texture i: a pattern that differs between textures.
uint8_t pixel(size_t i, size_t k) { return uint8_t(i * 37 + k * 7 + (k >> 8)); }

// Header of 20 bytes, zero padding up to the table, the table, then each
// texture's 8-byte header, extension block and pixel bytes back to back.
Bytes build_container(const std::vector<Tex>& texs, uint32_t table_offset = 0x20) {
  Bytes c(table_offset + 4 * texs.size(), 0);
  std::memcpy(c.data(), kTextureMagic, 8);
  store_u32le(&c[12], table_offset);
  store_u32le(&c[16], uint32_t(texs.size()));
  for (size_t i = 0; i < texs.size(); ++i) {
    const Tex& t = texs[i];
    store_u32le(&c[table_offset + 4 * i], uint32_t(c.size() - table_offset));
    const uint8_t header[8] = {t.byte0, t.code, t.byte2, 0xAA, 0xBB, 0xCC, 0xDD, t.ext_flag};
    c.insert(c.end(), header, header + 8);
    if (t.ext_flag != 0) {
      const size_t at = c.size();
      c.resize(at + std::max<uint32_t>(t.ext_len, 4), 0xEE);
      store_u32le(&c[at], t.ext_len);
    }
    for (size_t k = 0; k < t.pixel_bytes; ++k) c.push_back(pixel(i, k));
  }
  return c;
}

std::vector<TextureDescription> read(const Bytes& c) {
  return read_texture_container(c.data(), c.size());
}

uint32_t field(const std::array<uint8_t, kDdsHeaderSize>& h, size_t offset) {
  return load_u32le(&h[offset]);
}

TextureDescription describe(uint8_t byte0, uint8_t code, uint8_t byte2) {
  Bytes c = build_container({Tex{byte0, code, byte2, 0}});
  auto d = read(c);
  EXPECT_EQ(d.size(), 1u);
  return d.empty() ? TextureDescription{} : d[0];
}

// ---------------------------------------------------------------------------
// Container reading

TEST(TextureContainer, MagicTest) {
  Bytes c = build_container({});
  EXPECT_TRUE(has_texture_magic(c.data(), c.size()));
  EXPECT_TRUE(has_texture_magic(c.data(), 8));
  EXPECT_FALSE(has_texture_magic(c.data(), 7));
  EXPECT_FALSE(has_texture_magic(nullptr, 0));
  c[7] = '1';
  EXPECT_FALSE(has_texture_magic(c.data(), c.size()));
}

TEST(TextureContainer, WorkedSizesTable) {
  struct Row {
    uint8_t byte0, code, byte2;
    uint32_t width, height, size, levels;
  };
  const Row rows[] = {
      {0x90, 8, 0x88, 256, 256, 87408, 9}, {0x90, 6, 0x86, 64, 256, 10936, 7},
      {0x00, 6, 0x86, 64, 256, 10936, 7},  {0x10, 8, 0x00, 1, 1, 16, 1},
      {0x50, 1, 0x77, 128, 128, 65536, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "byte0 " << int(r.byte0) << " code " << int(r.code)
                                    << " byte2 " << int(r.byte2));
    const TextureDescription t = describe(r.byte0, r.code, r.byte2);
    EXPECT_EQ(t.format_code, r.code);
    EXPECT_EQ(t.mip_count, r.byte0 >> 4);
    EXPECT_EQ(t.width, r.width);
    EXPECT_EQ(t.height, r.height);
    EXPECT_EQ(t.data_size, r.size);
    if (r.code != 1) {
      EXPECT_EQ(t.levels_present, r.levels);
    }
  }
}

TEST(TextureContainer, BlockDataSizeDirect) {
  uint32_t levels = 99;
  EXPECT_EQ(block_data_size(64, 256, 9, 8, &levels), 10936u);
  EXPECT_EQ(levels, 7u);
  EXPECT_EQ(block_data_size(256, 256, 9, 16, &levels), 87408u);
  EXPECT_EQ(levels, 9u);
  EXPECT_EQ(block_data_size(256, 256, 0, 16, &levels), 87408u);
  EXPECT_EQ(levels, 9u);
  EXPECT_EQ(block_data_size(256, 256, 3, 16, &levels), 65536u + 16384u + 4096u);
  EXPECT_EQ(levels, 3u);
  EXPECT_EQ(block_data_size(1, 1, 0, 8, &levels), 8u);
  EXPECT_EQ(levels, 1u);
  EXPECT_EQ(block_data_size(1, 32768, 15, 8, nullptr), 65536u);
  // The largest block texture does not overflow 32 bits.
  EXPECT_EQ(block_data_size(32768, 32768, 0, 16, &levels), 1431655792u);
  EXPECT_EQ(levels, 16u);
}

TEST(TextureContainer, ZeroCountYieldsNothing) {
  Bytes c = build_container({});
  EXPECT_TRUE(read(c).empty());
}

TEST(TextureContainer, TableEntriesAreRelativeToTheTable) {
  Bytes c(0x40 + 16, 0);
  std::memcpy(c.data(), kTextureMagic, 8);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], 1);
  store_u32le(&c[0x20], 0x10);
  c[0x30] = 0x10;  // mip 1
  c[0x31] = 8;
  c[0x32] = 0x00;
  auto d = read(c);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].data_position, 0x38u);
  EXPECT_EQ(d[0].data_size, 16u);
  EXPECT_TRUE(d[0].in_bounds);
}

TEST(TextureContainer, TableEntriesNeedNotAscend) {
  Bytes c = build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x10, 6, 0x00, 8}});
  // Swap the two table entries.
  const uint32_t e0 = load_u32le(&c[0x20]), e1 = load_u32le(&c[0x24]);
  store_u32le(&c[0x20], e1);
  store_u32le(&c[0x24], e0);
  auto d = read(c);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].format_code, 6);
  EXPECT_EQ(d[1].format_code, 8);
  EXPECT_GT(d[0].data_position, d[1].data_position);
}

TEST(TextureContainer, Byte2ZeroIsOneByOne) {
  EXPECT_EQ(describe(0x10, 6, 0x00).data_size, 8u);
  EXPECT_EQ(describe(0x10, 8, 0x00).data_size, 16u);
  const TextureDescription t = describe(0x10, 1, 0x00);
  EXPECT_EQ(t.width, 1u);
  EXPECT_EQ(t.height, 1u);
  EXPECT_EQ(t.data_size, 4u);
}

TEST(TextureContainer, Byte2F0IsOneByTallest) {
  const TextureDescription t = describe(0x10, 6, 0xF0);
  EXPECT_EQ(t.width, 1u);
  EXPECT_EQ(t.height, 32768u);
  EXPECT_EQ(t.data_size, 8192u * 8u);
  EXPECT_FALSE(t.in_bounds);  // no pixels in this container
  const TextureDescription u = describe(0x10, 1, 0x0F);
  EXPECT_EQ(u.width, 32768u);
  EXPECT_EQ(u.height, 1u);
  EXPECT_EQ(u.data_size, 131072u);
}

TEST(TextureContainer, MipCountOneIgnoresLowNibble) {
  const TextureDescription a = describe(0x10, 8, 0x88);
  const TextureDescription b = describe(0x1F, 8, 0x88);
  EXPECT_EQ(a.mip_count, 1);
  EXPECT_EQ(b.mip_count, 1);
  EXPECT_EQ(a.data_size, 65536u);
  EXPECT_EQ(b.data_size, 65536u);
  EXPECT_EQ(a.levels_present, 1u);
}

TEST(TextureContainer, MipCountZeroSumsAllHalvings) {
  const TextureDescription t = describe(0x00, 8, 0x88);
  EXPECT_EQ(t.mip_count, 0);
  EXPECT_EQ(t.data_size, 87408u);
  EXPECT_EQ(t.levels_present, 9u);
  const TextureDescription u = describe(0x0F, 6, 0x86);
  EXPECT_EQ(u.data_size, 10936u);
  EXPECT_EQ(u.levels_present, 7u);
}

TEST(TextureContainer, SurplusLevelsAddNothing) {
  EXPECT_EQ(describe(0xF0, 6, 0x86).data_size, 10936u);  // not 10952
  EXPECT_EQ(describe(0x70, 6, 0x86).data_size, 10936u);
  EXPECT_EQ(describe(0x60, 6, 0x86).data_size, 10936u - 8u);
  EXPECT_EQ(describe(0x60, 6, 0x86).levels_present, 6u);
}

TEST(TextureContainer, Code1IgnoresMipCount) {
  EXPECT_EQ(describe(0x50, 1, 0x77).data_size, 65536u);
  EXPECT_EQ(describe(0x10, 1, 0x77).data_size, 65536u);
  EXPECT_EQ(describe(0x00, 1, 0x77).data_size, 65536u);
}

TEST(TextureContainer, ExtensionFlag) {
  Bytes c = build_container({Tex{0x10, 8, 0x00, 16, 0}, Tex{0x10, 8, 0x00, 16, 1, 0x20}});
  auto d = read(c);
  ASSERT_EQ(d.size(), 2u);
  const uint64_t h0 = 0x20 + load_u32le(&c[0x20]);
  const uint64_t h1 = 0x20 + load_u32le(&c[0x24]);
  EXPECT_EQ(d[0].data_position, h0 + 8);  // bytes at header offset 8 are pixels
  EXPECT_EQ(c[h0 + 8], pixel(0, 0));
  EXPECT_EQ(d[1].data_position, h1 + 0x28);
  EXPECT_EQ(c[h1 + 0x28], pixel(1, 0));
  EXPECT_TRUE(d[0].in_bounds);
  EXPECT_TRUE(d[1].in_bounds);
  // Any nonzero flag value means an extension block.
  c[h1 + 7] = 0x80;
  EXPECT_EQ(read(c)[1].data_position, h1 + 0x28);
}

TEST(TextureContainer, UnsupportedCodeKeepsIndices) {
  Bytes c = build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x30, 2, 0x44, 0}, Tex{0x10, 6, 0x00, 8}});
  auto d = read(c);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0].texture_index, 0u);
  EXPECT_EQ(d[0].format_code, 8);
  EXPECT_EQ(d[0].data_size, 16u);
  EXPECT_EQ(d[1].texture_index, 1u);
  EXPECT_EQ(d[1].format_code, 2);
  EXPECT_EQ(d[1].data_size, 0u);
  EXPECT_EQ(d[2].texture_index, 2u);
  EXPECT_EQ(d[2].format_code, 6);
  EXPECT_EQ(d[2].data_size, 8u);
  EXPECT_TRUE(d[2].in_bounds);
}

// Bounds

TEST(TextureContainerBounds, ShorterThanHeader) {
  Bytes c = build_container({Tex{0x10, 8, 0x00, 16}});
  for (size_t n = 0; n < 20; ++n) {
    Bytes prefix(c.begin(), c.begin() + n);  // exact length, so ASan sees overreads
    EXPECT_TRUE(read_texture_container(prefix.data(), prefix.size()).empty()) << n;
  }
  EXPECT_TRUE(read_texture_container(nullptr, 0).empty());
}

TEST(TextureContainerBounds, TableRunningPastTheEnd) {
  Bytes c = build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x10, 6, 0x00, 8}});
  store_u32le(&c[16], 1000000);  // count far beyond the table
  auto d = read(c);
  // The table's entries 2.. are the headers and pixels that follow; whatever
  // they say, reading stops at the end without reading past it.
  ASSERT_GE(d.size(), 2u);
  EXPECT_EQ(d[0].format_code, 8);
  EXPECT_EQ(d[1].format_code, 6);
  EXPECT_LE(d.size(), (c.size() - 0x20) / 4);

  // A table at the very end: count 3, room for one entry only.
  Bytes e(24, 0);
  std::memcpy(e.data(), kTextureMagic, 8);
  store_u32le(&e[12], 20);
  store_u32le(&e[16], 3);
  store_u32le(&e[20], 0);  // header at 20 would need 8 bytes
  EXPECT_TRUE(read(e).empty());

  // Huge table offset and count: nothing wraps.
  Bytes f(20, 0);
  std::memcpy(f.data(), kTextureMagic, 8);
  store_u32le(&f[12], 0xFFFFFFFF);
  store_u32le(&f[16], 0xFFFFFFFF);
  EXPECT_TRUE(read(f).empty());
}

TEST(TextureContainerBounds, HeaderOffsetPastTheEnd) {
  Bytes c =
      build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x10, 8, 0x00, 16}, Tex{0x10, 6, 0x00, 8}});
  store_u32le(&c[0x24], 0xFFFFFFF0);  // texture 1's header far away
  auto d = read(c);
  ASSERT_EQ(d.size(), 1u);  // the list ends at texture 1
  EXPECT_EQ(d[0].texture_index, 0u);

  // A header whose last bytes reach past the end.
  store_u32le(&c[0x24], uint32_t(c.size() - 0x20 - 4));
  EXPECT_EQ(read(c).size(), 1u);

  // An extension length field past the end.
  Bytes e = build_container({Tex{0x10, 8, 0x00, 0}});
  e[e.size() - 1] = 1;  // extension flag of the only texture, whose header ends the container
  EXPECT_TRUE(read(e).empty());
}

TEST(TextureContainerBounds, PixelDataPastTheEnd) {
  Bytes c =
      build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x90, 8, 0x88, 100}, Tex{0x10, 6, 0x00, 8}});
  auto d = read(c);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_TRUE(d[0].in_bounds);
  EXPECT_FALSE(d[1].in_bounds);
  EXPECT_TRUE(d[2].in_bounds);

  // Pixels ending exactly at the end are in bounds; one byte short is not.
  Bytes e = build_container({Tex{0x10, 8, 0x00, 16}});
  EXPECT_TRUE(read(e)[0].in_bounds);
  e.pop_back();
  EXPECT_FALSE(read(e)[0].in_bounds);

  // Extension length that would wrap in 32 bits.
  Bytes f = build_container({Tex{0x10, 8, 0x00, 16, 1, 0x20}});
  store_u32le(&f[0x20 + load_u32le(&f[0x20]) + 8], 0xFFFFFFF8);
  auto g = read(f);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_FALSE(g[0].in_bounds);
  EXPECT_GT(g[0].data_position, 0xFFFFFFFFu);

  // A 32768 x 32768 code-1 texture cannot fit, whatever its 32-bit size says.
  auto h = read(build_container({Tex{0x10, 1, 0xFF, 64}}));
  ASSERT_EQ(h.size(), 1u);
  EXPECT_FALSE(h[0].in_bounds);
}

// ---------------------------------------------------------------------------
// DDS header

std::array<uint8_t, kDdsHeaderSize> expected_template() {
  std::array<uint8_t, kDdsHeaderSize> h{};
  const uint8_t magic[4] = {0x44, 0x44, 0x53, 0x20};
  std::memcpy(&h[0], magic, 4);
  store_u32le(&h[4], 124);
  store_u32le(&h[8], 0x1007);
  store_u32le(&h[76], 32);
  store_u32le(&h[80], 4);
  const uint8_t dxt5[4] = {0x44, 0x58, 0x54, 0x35};
  std::memcpy(&h[84], dxt5, 4);
  store_u32le(&h[108], 0x1000);
  return h;
}

TEST(DdsHeader, Dxt5SingleLevelByteExact) {
  auto expected = expected_template();
  store_u32le(&expected[12], 256);
  store_u32le(&expected[16], 256);
  store_u32le(&expected[28], 1);
  EXPECT_EQ(build_dds_header(describe(0x10, 8, 0x88)), expected);
}

TEST(DdsHeader, Dxt5NineLevelsByteExact) {
  auto expected = expected_template();
  store_u32le(&expected[8], 0x00021007);
  store_u32le(&expected[12], 256);
  store_u32le(&expected[16], 256);
  store_u32le(&expected[28], 9);
  store_u32le(&expected[108], 0x00401008);
  EXPECT_EQ(build_dds_header(describe(0x90, 8, 0x88)), expected);
}

TEST(DdsHeader, Dxt1ChangesOnlyFourthFourCCByte) {
  auto expected = expected_template();
  store_u32le(&expected[8], 0x00021007);
  store_u32le(&expected[12], 256);
  store_u32le(&expected[16], 256);
  store_u32le(&expected[28], 9);
  store_u32le(&expected[108], 0x00401008);
  expected[87] = 0x31;
  const auto h = build_dds_header(describe(0x90, 6, 0x88));
  EXPECT_EQ(h, expected);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[84]), 4), "DXT1");
}

TEST(DdsHeader, HighNibbleIsHeight) {
  const auto h = build_dds_header(describe(0x10, 8, 0x86));
  EXPECT_EQ(field(h, 12), 256u);  // dwHeight
  EXPECT_EQ(field(h, 16), 64u);   // dwWidth
}

TEST(DdsHeader, Argb8ByteExact) {
  auto expected = expected_template();
  store_u32le(&expected[12], 128);
  store_u32le(&expected[16], 128);
  store_u32le(&expected[80], 0x41);
  store_u32le(&expected[84], 0);
  store_u32le(&expected[88], 32);
  store_u32le(&expected[92], 0x00FF0000);
  store_u32le(&expected[96], 0x0000FF00);
  store_u32le(&expected[100], 0x000000FF);
  store_u32le(&expected[104], 0xFF000000);
  store_u32le(&expected[108], 0x1002);
  const auto h = build_dds_header(describe(0x50, 1, 0x77));
  EXPECT_EQ(h, expected);
  EXPECT_EQ(field(h, 8), 0x1007u);
  EXPECT_EQ(field(h, 28), 0u);  // mip count not used
}

TEST(DdsHeader, MipCountZeroKeepsZeroWithMipmapFlags) {
  for (uint8_t code : {uint8_t(6), uint8_t(8)}) {
    const TextureDescription t = describe(0x00, code, 0x88);
    EXPECT_EQ(t.levels_present, 9u);
    const auto h = build_dds_header(t);
    EXPECT_EQ(field(h, 8), 0x00021007u);
    EXPECT_EQ(field(h, 28), 0u);
    EXPECT_EQ(field(h, 108), 0x00401008u);
  }
  // Also for a texture whose only level is the top one.
  const auto h = build_dds_header(describe(0x00, 8, 0x00));
  EXPECT_EQ(field(h, 8), 0x00021007u);
  EXPECT_EQ(field(h, 28), 0u);
  EXPECT_EQ(field(h, 108), 0x00401008u);
}

TEST(DdsHeader, LevelsPresentFix) {
  // 64 x 256 with mip count 9 holds 7 levels.
  const auto h = build_dds_header(describe(0x90, 6, 0x86));
  EXPECT_EQ(field(h, 28), 7u);
  EXPECT_EQ(field(h, 8), 0x00021007u);
  EXPECT_EQ(field(h, 108), 0x00401008u);
  // Mip count 1: a single level, no mipmap flags.
  const auto one = build_dds_header(describe(0x10, 6, 0x86));
  EXPECT_EQ(field(one, 28), 1u);
  EXPECT_EQ(field(one, 8), 0x1007u);
  EXPECT_EQ(field(one, 108), 0x1000u);
  // Mip count 5 on a 1 x 1 texture: one level present, so written as single.
  const auto tiny = build_dds_header(describe(0x50, 8, 0x00));
  EXPECT_EQ(field(tiny, 28), 1u);
  EXPECT_EQ(field(tiny, 8), 0x1007u);
  EXPECT_EQ(field(tiny, 108), 0x1000u);
  // Mip count within the halvings: written as stored.
  const auto three = build_dds_header(describe(0x30, 8, 0x86));
  EXPECT_EQ(field(three, 28), 3u);
}

TEST(DdsHeader, PitchOrLinearSizeAlwaysZero) {
  for (uint8_t code : {uint8_t(1), uint8_t(6), uint8_t(8)})
    for (uint8_t byte0 : {uint8_t(0x00), uint8_t(0x10), uint8_t(0x90), uint8_t(0xF0)})
      for (uint8_t byte2 : {uint8_t(0x00), uint8_t(0x86), uint8_t(0xAA)})
        EXPECT_EQ(field(build_dds_header(describe(byte0, code, byte2)), 20), 0u);
}

// ---------------------------------------------------------------------------
// DDS files on disk

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
  return names;
}

// Runs each test in a fresh temporary current directory holding Extracted/A,
// with the texture folder Extracted/A/Textures (relative).
class DdsFiles : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories("Extracted/A"); }

  // The bytes a DDS file of texture i of container c must hold.
  static Bytes expected_file(const Bytes& c, const TextureDescription& t) {
    const auto h = build_dds_header(t);
    Bytes out(h.size() + t.data_size);
    std::copy(h.begin(), h.end(), out.begin());
    std::copy_n(c.begin() + long(t.data_position), t.data_size, out.begin() + long(h.size()));
    return out;
  }

  test::InScratchDir scratch_;  // the current directory for the test's duration
  fs::path textures_ = fs::path("Extracted") / "A" / "Textures";
  std::wstring texture_dir_ = join_path(join_path(L"Extracted", L"A"), L"Textures");
};

TEST_F(DdsFiles, UnsupportedCodeLeavesAGapInNames) {
  const Bytes c = build_container(
      {Tex{0x90, 8, 0x88, 87408}, Tex{0x10, 2, 0x00, 64}, Tex{0x90, 6, 0x86, 10936}});
  extract_textures(texture_dir_, c.data(), c.size(), 7, 0);
  const fs::path dir = textures_ / "7";
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"0_0.dds", "0_2.dds"}));
  const auto d = read(c);
  const Bytes f0 = test::read_file((dir / "0_0.dds").u8string());
  const Bytes f2 = test::read_file((dir / "0_2.dds").u8string());
  EXPECT_EQ(f0.size(), 128u + 87408u);
  EXPECT_EQ(f2.size(), 128u + 10936u);
  EXPECT_EQ(f0, expected_file(c, d[0]));
  EXPECT_EQ(f2, expected_file(c, d[2]));
  EXPECT_EQ(std::string(f2.begin() + 84, f2.begin() + 88), "DXT1");
  EXPECT_EQ(load_u32le(&f2[28]), 7u);
}

TEST_F(DdsFiles, FileLengthsOfTheEdgeCases) {
  const Bytes c = build_container(
      {Tex{0x10, 8, 0x88, 65536}, Tex{0x50, 1, 0x77, 65536}, Tex{0x10, 6, 0x00, 8, 1, 0x20}});
  extract_textures(texture_dir_, c.data(), c.size(), 0, 3);
  const fs::path dir = textures_ / "0";
  EXPECT_EQ(fs::file_size(dir / "3_0.dds"), 128u + 65536u);
  EXPECT_EQ(fs::file_size(dir / "3_1.dds"), 128u + 65536u);
  const auto d = read(c);
  EXPECT_EQ(test::read_file((dir / "3_1.dds").u8string()), expected_file(c, d[1]));
  EXPECT_EQ(test::read_file((dir / "3_2.dds").u8string()), expected_file(c, d[2]));
}

TEST_F(DdsFiles, NumbersInPlainDecimal) {
  const Bytes c = build_container({Tex{0x10, 8, 0x00, 16}});
  extract_textures(texture_dir_, c.data(), c.size(), 10000, 12);
  EXPECT_TRUE(fs::is_regular_file(textures_ / "10000" / "12_0.dds"));
  extract_textures(texture_dir_, c.data(), c.size(), 4294967295u, 0);
  EXPECT_TRUE(fs::is_regular_file(textures_ / "4294967295" / "0_0.dds"));
}

TEST_F(DdsFiles, NoTexturesCreatesOnlyTheTextureDirectory) {
  ASSERT_FALSE(fs::exists(textures_));
  const Bytes c = build_container({});
  extract_textures(texture_dir_, c.data(), c.size(), 7, 0);
  EXPECT_TRUE(fs::is_directory(textures_));
  EXPECT_TRUE(names_in(textures_).empty());
  // Only unsupported textures: no entry directory either.
  const Bytes u = build_container({Tex{0x10, 2, 0x00, 16}});
  extract_textures(texture_dir_, u.data(), u.size(), 7, 0);
  EXPECT_TRUE(names_in(textures_).empty());
}

TEST_F(DdsFiles, ExistingDirectoryKeptAndFileOverwritten) {
  const fs::path dir = textures_ / "7";
  fs::create_directories(dir);
  { std::ofstream(dir / "other.txt") << "keep"; }
  { std::ofstream(dir / "0_0.dds", std::ios::binary) << std::string(100000, 'x'); }
  const Bytes c = build_container({Tex{0x10, 8, 0x00, 16}});
  extract_textures(texture_dir_, c.data(), c.size(), 7, 0);
  EXPECT_EQ(test::read_file((dir / "0_0.dds").u8string()), expected_file(c, read(c)[0]));
  EXPECT_EQ(test::read_file((dir / "other.txt").u8string()), Bytes({'k', 'e', 'e', 'p'}));
}

TEST_F(DdsFiles, PixelDataPastTheEndSkipsOnlyThatTexture) {
  Bytes c =
      build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x10, 6, 0x00, 8}, Tex{0x90, 8, 0x88, 50}});
  extract_textures(texture_dir_, c.data(), c.size(), 5, 0);
  EXPECT_EQ(names_in(textures_ / "5"), (std::set<std::string>{"0_0.dds", "0_1.dds"}));
  const auto d = read(c);
  EXPECT_EQ(test::read_file((textures_ / "5" / "0_1.dds").u8string()), expected_file(c, d[1]));

  // The out-of-bounds texture first: no entry directory for it alone.
  Bytes only = build_container({Tex{0x90, 8, 0x88, 50}});
  extract_textures(texture_dir_, only.data(), only.size(), 6, 0);
  EXPECT_FALSE(fs::exists(textures_ / "6"));
}

TEST_F(DdsFiles, WriteDdsTextureRefusesBadDescriptions) {
  const Bytes c = build_container({Tex{0x10, 8, 0x00, 16}});
  TextureDescription t = read(c)[0];
  t.data_position = c.size() - 8;  // claims in bounds, but is not
  write_dds_texture(texture_dir_, t, c.data(), c.size(), 1, 0);
  t = read(c)[0];
  t.format_code = 2;
  write_dds_texture(texture_dir_, t, c.data(), c.size(), 1, 0);
  EXPECT_FALSE(fs::exists(textures_ / "1"));
  t = read(c)[0];
  ensure_directory(texture_dir_);
  write_dds_texture(texture_dir_, t, c.data(), c.size(), 1, 0);
  EXPECT_EQ(test::read_file((textures_ / "1" / "0_0.dds").u8string()), expected_file(c, t));
}

TEST_F(DdsFiles, FileWhereEntryDirectoryShouldBe) {
  fs::create_directories(textures_);
  { std::ofstream(textures_ / "7") << "file"; }
  const Bytes c = build_container({Tex{0x10, 8, 0x00, 16}, Tex{0x10, 6, 0x00, 8}});
  EXPECT_EQ(extract_textures(texture_dir_, c.data(), c.size(), 7, 0).unwritten.size(), 2u);
  EXPECT_TRUE(fs::is_regular_file(textures_ / "7"));
  EXPECT_EQ(test::read_file((textures_ / "7").u8string()), Bytes({'f', 'i', 'l', 'e'}));
  // The next entry is unaffected.
  EXPECT_TRUE(extract_textures(texture_dir_, c.data(), c.size(), 8, 0).all_written());
  EXPECT_EQ(names_in(textures_ / "8"), (std::set<std::string>{"0_0.dds", "0_1.dds"}));
}

TEST_F(DdsFiles, TextureDirectoryMissingParent) {
  texture_dir_ = join_path(join_path(L"Missing", L"A"), L"Textures");
  const Bytes c = build_container({Tex{0x10, 8, 0x00, 16}});
  EXPECT_FALSE(extract_textures(texture_dir_, c.data(), c.size(), 7, 0).all_written());
  EXPECT_FALSE(fs::exists("Missing"));
}

TEST_F(DdsFiles, WriteFailureGoesOnWithTheNextTexture) {
  const fs::path dir = textures_ / "7";
  fs::create_directories(dir);
  test::write_file((dir / "0_0.dds").u8string(), Bytes(100, 0xEE));  // an older export's
  // Every write of 0_0.dds fails, as on a full disk.
  platform::set_file_change_hook([](const platform::FileChange& f) {
    return !(f.kind == platform::FileChangeKind::write &&
             to_utf8(f.path).find("0_0.dds") != std::string::npos);
  });
  const Bytes c = build_container({Tex{0x10, 8, 0x88, 65536}, Tex{0x10, 6, 0x00, 8}});
  const bool ok = extract_textures(texture_dir_, c.data(), c.size(), 7, 0).all_written();
  platform::set_file_change_hook({});
  EXPECT_FALSE(ok);
  // Nothing left under its name, where the older one would pass for this export's.
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "0_0.dds")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "0_0.dds.tmp")));
  EXPECT_EQ(test::read_file((dir / "0_1.dds").u8string()), expected_file(c, read(c)[1]));
}

}  // namespace
}  // namespace linkdata
