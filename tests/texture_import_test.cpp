// Edited DDS files going back into their entries through the built tool.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "archive/format/package.h"
#include "archive/modes/texture_patch.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"
#include "test_support.h"
#include "textures/container.h"
#include "textures/png_image.h"
#include "textures/texture_encode.h"
#include "textures/texture_pixels.h"

namespace linkdata::test {
namespace {

struct Tex {
  uint8_t mip_count;
  uint8_t code;
  uint8_t exponents;  // height exponent << 4 | width exponent
};

uint32_t pixel_bytes(const Tex& t) {
  const uint32_t w = 1u << (t.exponents & 15), h = 1u << (t.exponents >> 4);
  if (t.code == kFormatArgb8) return w * h * 4;
  if (t.code != kFormatDxt1 && t.code != kFormatDxt5) return 64;
  return block_data_size(w, h, t.mip_count, t.code == kFormatDxt1 ? 8 : 16, nullptr);
}

// Header, table at 0x20, then each texture's 8-byte header and pixel bytes.
Bytes container(const std::vector<Tex>& texs, uint32_t seed) {
  Bytes c(0x20 + 4 * texs.size(), 0);
  std::memcpy(c.data(), kTextureMagic, sizeof kTextureMagic);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], uint32_t(texs.size()));
  for (size_t i = 0; i < texs.size(); ++i) {
    store_u32le(&c[0x20 + 4 * i], uint32_t(c.size() - 0x20));
    const Tex& t = texs[i];
    const uint8_t header[8] = {uint8_t(t.mip_count << 4), t.code, t.exponents, 0, 0, 0, 0, 0};
    c.insert(c.end(), header, header + 8);
    const Bytes pixels = pattern_bytes(pixel_bytes(t), seed + uint32_t(i));
    c.insert(c.end(), pixels.begin(), pixels.end());
  }
  return c;
}

// Entry 0 plain text; entry 1 a container: DXT1 64x64 with 7 levels, an
// unsupported code, DXT5 32 wide x 16 high with 5 levels, ARGB 16x16;
// entry 2 a package whose sub-file 1 holds a DXT5 16x16 with 5 levels.
std::vector<StoredEntry> texture_entries() {
  return {plain_entry(text_bytes(std::string(100, 'p'))),
          compressed_entry(container({{7, 6, 0x66}, {1, 2, 0x44}, {5, 8, 0x45}, {1, 1, 0x44}}, 10)),
          compressed_entry(package({text_bytes(std::string(200, 't')),
                                    container({{5, 8, 0x44}}, 20), pattern_bytes(300, 3)}))};
}

// Where texture `index` of sub-file `sub` keeps its pixel data in a content.
struct Pixels {
  size_t offset = 0;
  size_t size = 0;
};
Pixels pixels_of(const Bytes& content, uint32_t sub, uint32_t index) {
  for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
    if (span.sub_index != sub) continue;
    for (const TextureDescription& t :
         read_texture_container(content.data() + span.offset, span.size)) {
      if (t.texture_index == index) return {span.offset + size_t(t.data_position), t.data_size};
    }
  }
  ADD_FAILURE() << "no texture " << sub << "_" << index;
  return {};
}

std::string ok_line(const std::string& what, const std::string& path) {
  return "向 LINKDATA_EU_OS_EUNA.A 中" + what + shown(path) + " 成功！\n";
}

struct Workspace {
  ScratchDir dir;
  Bytes original;
  Workspace() {
    original = archive_image(texture_entries());
    write_file(dir / kArchive, original);
    export_all();
  }
  void export_all() {
    const RunResult r = run_tool(dir.path, {"e", "a", "0", "9", "y"});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // Puts a DDS file where import looks for it; gives its path as messages name it.
  std::string put_dds(const std::string& folder, const std::string& name, const Bytes& bytes) {
    make_dir(dir / "Import/A/Textures");
    make_dir(dir / ("Import/A/Textures/" + folder));
    const std::string path = "Import/A/Textures/" + folder + "/" + name;
    write_file(dir / path, bytes);
    return path;
  }
  Bytes exported(const std::string& path) const { return read_file(dir / ("Extracted/A/" + path)); }
  Bytes archive() const { return read_file(dir / kArchive); }
  RunResult import() { return run_tool(dir.path, {"i", "a"}); }
};

// ---------------------------------------------------------------------------
// Files made by ImageMagick, a tool nobody here wrote

#ifdef LINKDATA_IMAGEMAGICK
const std::string kConvert = LINKDATA_IMAGEMAGICK;
#else
const std::string kConvert;
#endif

bool convert(const std::string& args) {
  return std::system(("\"" + kConvert + "\" " + args + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(TextureImport, ImageMagickEditsComeBackLevelForLevel) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  Workspace w;
  const Bytes content1 = w.exported("1.data");
  const Bytes content2 = w.exported("2.data");
  struct Row {
    std::string entry, name, compression;
    int mipmaps;  // further levels; the DXT5 32x16 gets one more than it holds
  };
  const Row rows[] = {{"1", "0_0.dds", "dxt1", 6},
                      {"1", "0_2.dds", "dxt5", 5},
                      {"1", "0_3.dds", "none", 0},
                      {"2", "1_0.dds", "dxt5", 4}};
  std::string expected_out;  // entry 1's textures, then entry 2's loose file and texture
  for (const Row& r : rows) {
    const std::string exported = w.dir / ("Extracted/A/Textures/" + r.entry + "/" + r.name);
    const std::string png = w.dir / (r.entry + "_" + r.name + ".png");
    ASSERT_TRUE(convert("\"" + exported + "[0]\" -negate \"" + png + "\""));
    make_dir(w.dir / "Import/A/Textures");
    make_dir(w.dir / ("Import/A/Textures/" + r.entry));
    const std::string path = "Import/A/Textures/" + r.entry + "/" + r.name;
    ASSERT_TRUE(convert("\"" + png + "\" -define dds:compression=" + r.compression +
                        " -define dds:mipmaps=" + std::to_string(r.mipmaps) + " \"" +
                        (w.dir / path) + "\""));
    if (r.entry == "1") expected_out += ok_line("导入贴图 ", path);
  }
  expected_out +=
      ok_line("导入压缩文件 ", "2.data") + ok_line("导入贴图 ", "Import/A/Textures/2/1_0.dds");
  // Entry 2 also has an edited loose file: its texture goes into that.
  Bytes edited2 = content2;
  edited2[20] = 'E';  // in sub-file 0, the text
  write_file(w.dir / "Import/A/2.data", edited2);

  const RunResult r = w.import();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected_out);
  w.export_all();

  Bytes expected1 = content1, expected2 = edited2;
  for (const Row& row : rows) {
    const Bytes dds = read_file(w.dir / ("Import/A/Textures/" + row.entry + "/" + row.name));
    const uint32_t sub = uint32_t(row.name[0] - '0'), index = uint32_t(row.name[2] - '0');
    Bytes& expected = row.entry == "1" ? expected1 : expected2;
    const Pixels at = pixels_of(expected, sub, index);
    ASSERT_GE(dds.size(), 128 + at.size);
    std::copy(dds.begin() + 128, dds.begin() + long(128 + at.size),
              expected.begin() + long(at.offset));
    // The new export's DDS file holds the edited file's levels, no more.
    const Bytes again = w.exported("Textures/" + row.entry + "/" + row.name);
    EXPECT_EQ(Bytes(again.begin() + 128, again.end()),
              Bytes(dds.begin() + 128, dds.begin() + long(128 + at.size)))
        << row.name;
  }
  EXPECT_NE(expected1, content1);
  EXPECT_EQ(w.exported("1.data"), expected1);
  EXPECT_EQ(w.exported("2.data"), expected2);
  EXPECT_EQ(w.exported("0.data"), text_bytes(std::string(100, 'p')));
}

// ---------------------------------------------------------------------------
// Headers written here byte for byte, as texconv and others lay them out

// four_cc "" gives 32-bit RGB with the A8R8G8B8 masks; "DX10" adds the
// extended header with the given DXGI format.
Bytes dds_file(const std::string& four_cc, uint32_t width, uint32_t height, uint32_t mips,
               const Bytes& data, uint32_t dxgi = 0) {
  Bytes d(four_cc == "DX10" ? 148 : 128, 0);
  std::memcpy(d.data(), "DDS ", 4);
  store_u32le(&d[4], 124);
  store_u32le(&d[8], mips != 0 ? 0x00021007 : 0x00001007);
  store_u32le(&d[12], height);
  store_u32le(&d[16], width);
  store_u32le(&d[28], mips);
  store_u32le(&d[76], 32);
  if (four_cc.empty()) {
    store_u32le(&d[80], 0x41);
    store_u32le(&d[88], 32);
    store_u32le(&d[92], 0x00FF0000);
    store_u32le(&d[96], 0x0000FF00);
    store_u32le(&d[100], 0x000000FF);
    store_u32le(&d[104], 0xFF000000);
  } else {
    store_u32le(&d[80], 0x4);
    std::memcpy(&d[84], four_cc.data(), 4);
  }
  store_u32le(&d[108], 0x1000);
  if (four_cc == "DX10") {
    store_u32le(&d[128], dxgi);
    store_u32le(&d[132], 3);  // 2-D texture
    store_u32le(&d[140], 1);  // one array element
  }
  d.insert(d.end(), data.begin(), data.end());
  return d;
}

TEST(TextureImport, Dx10AndLegacyHeadersWithOrWithoutMipCount) {
  Workspace w;
  const Bytes content1 = w.exported("1.data"), content2 = w.exported("2.data");
  struct Row {
    std::string entry, name;
    uint32_t sub, index;
    std::string four_cc;
    uint32_t width, height, mips, dxgi;
  };
  const Row rows[] = {{"1", "0_0.dds", 0, 0, "DX10", 64, 64, 7, 72},   // BC1_UNORM_SRGB
                      {"1", "0_2.DDS", 0, 2, "DX10", 32, 16, 0, 77},   // BC3_UNORM, no count
                      {"1", "0_3.dds", 0, 3, "DX10", 16, 16, 1, 87},   // B8G8R8A8_UNORM
                      {"2", "01_0.dds", 1, 0, "DXT5", 16, 16, 0, 0}};  // legacy, no count
  std::string expected_out;
  Bytes expected1 = content1, expected2 = content2;
  for (const Row& r : rows) {
    Bytes& expected = r.entry == "1" ? expected1 : expected2;
    const Pixels at = pixels_of(expected, r.sub, r.index);
    const Bytes edited = pattern_bytes(at.size + 64, 99 + r.index);  // a level more than needed
    const std::string path =
        w.put_dds(r.entry, r.name, dds_file(r.four_cc, r.width, r.height, r.mips, edited, r.dxgi));
    std::copy(edited.begin(), edited.begin() + long(at.size), expected.begin() + long(at.offset));
    expected_out += ok_line("导入贴图 ", path);
  }
  const RunResult r = w.import();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected_out);
  w.export_all();
  EXPECT_EQ(w.exported("1.data"), expected1);
  EXPECT_EQ(w.exported("2.data"), expected2);
}

TEST(TextureImport, RefusalsNameTheFileAndLeaveTheEntryAlone) {
  // Texture 2 of entry 1: DXT5 32 wide x 16 high, 5 levels, 704 bytes.
  const Bytes data = pattern_bytes(704, 5);
  auto with = [](Bytes b, size_t at, const std::string& bytes) {
    std::memcpy(&b[at], bytes.data(), bytes.size());
    return b;
  };
  const Bytes good = dds_file("DXT5", 32, 16, 5, data);
  Bytes short_header(good.begin(), good.begin() + 100);
  Bytes rgb24 = dds_file("", 32, 16, 1, data);
  store_u32le(&rgb24[88], 24);
  const Bytes dx10 = dds_file("DX10", 32, 16, 5, data, 77);
  Bytes dx10_cut(dx10.begin(), dx10.begin() + 140);
  Bytes dx10_cube = dx10, dx10_volume = dx10, dx10_array = dx10, dx10_1d = dx10;
  store_u32le(&dx10_cube[136], 0x4);
  store_u32le(&dx10_volume[132], 4);
  store_u32le(&dx10_array[140], 2);
  store_u32le(&dx10_1d[132], 2);
  // What the file is, against the texture's DXT5 32x16 with 5 levels.
  auto unlike = [](const std::string& found) {
    return " 应为 DXT5 32x16 5 级，此文件为 " + found + "，无法导入！\n";
  };
  const std::string header_cut = " 应为 DXT5 32x16 5 级，此文件的 DDS 文件头不完整，无法导入！\n";
  // A layout that import cannot decode, named with the format to use instead.
  auto undecodable = [](const std::string& found) {
    return " 应为 DXT5 32x16 5 级，此文件为 " + found + "，无法导入！请另存为 DXT5 或 PNG\n";
  };
  const std::string not_dds = " 不是可以导入的 DDS 贴图文件！\n";
  const std::string not_found = " 在条目中找不到对应的贴图，无法导入！\n";
  struct Row {
    std::string folder, name;
    Bytes bytes;
    std::string message;
    bool unopenable;
  };
  const std::vector<Row> rows = {
      {"1", "0_2.dds", dds_file("DXT1", 16, 16, 5, data), unlike("DXT1 16x16 5 级"), false},
      {"1", "0_2.dds", dds_file("DXT5", 16, 16, 5, data), unlike("DXT5 16x16 5 级"), false},
      {"1", "0_2.dds", dds_file("DXT5", 32, 32, 5, data), unlike("DXT5 32x32 0 级"), false},
      {"1", "0_2.dds", dds_file("", 32, 16, 1, data), unlike("A8R8G8B8 32x16 0 级"), false},
      {"1", "0_2.dds", dds_file("DXT5", 32, 16, 5, Bytes(703, 1)), unlike("DXT5 32x16 4 级"),
       false},
      {"1", "0_2.dds", short_header, header_cut, false},
      {"1", "0_2.dds", dx10_cut, header_cut, false},
      {"1", "0_2.dds", with(good, 0, "DDS!"), not_dds, false},
      {"1", "0_2.dds", with(good, 4, "x"), not_dds, false},
      {"1", "0_2.dds", with(good, 84, "ATI2"), undecodable("BC5 32x16 5 级"), false},
      {"1", "0_2.dds", dds_file("DX10", 32, 16, 5, data, 98), undecodable("BC7 32x16 5 级"), false},
      {"1", "0_2.dds", dds_file("DX10", 32, 16, 1, data, 10),
       undecodable("R16G16B16A16_FLOAT 32x16 0 级"), false},
      {"1", "0_2.dds", with(good, 84, "YUY2"), undecodable("YUY2 32x16 5 级"), false},
      {"1", "0_2.dds", dds_file("DX10", 32, 16, 5, data, 28), unlike("A8B8G8R8 32x16 0 级"), false},
      {"1", "0_2.dds", dx10_cube, undecodable("DXT5 32x16 5 级的立方体贴图"), false},
      {"1", "0_2.dds", with(good, 113, "\x02"), undecodable("DXT5 32x16 5 级的立方体贴图"), false},
      {"1", "0_2.dds", dx10_volume, undecodable("DXT5 32x16 5 级的体积贴图"), false},
      {"1", "0_2.dds", dx10_array, undecodable("DXT5 32x16 5 级的贴图数组"), false},
      {"1", "0_2.dds", dx10_1d, not_dds, false},
      {"1", "0_2.dds", rgb24, not_dds, false},
      {"1", "0_2.dds", text_bytes("DD"), not_dds, false},
      // A code the tool does not write: named, as the listing shows it.
      {"1", "0_1.dds", good, " 对应的贴图是格式 2，本工具不支持这种格式，无法导入！\n", false},
      {"1", "0_9.dds", good, not_found, false},
      {"1", "3_2.dds", good, not_found, false},
      {"2", "0_0.dds", good, not_found, false},  // sub-file 0 is no container
      {"7", "0_2.dds", good, not_found, false},  // no entry 7
      {"1", "0_2.dds", {}, " 文件打开失败！\n", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.folder + "/" + row.name + row.message);
    Workspace w;
    write_file(w.dir / "Import/A/0.data", Bytes(50, 'q'));
    const std::string path = w.put_dds(row.folder, row.name, row.bytes);
    std::unique_ptr<UnopenableName> unopenable;
    if (row.unopenable) {
      std::remove((w.dir / path).c_str());
      unopenable = std::make_unique<UnopenableName>(w.dir / path);
      ASSERT_TRUE(unopenable->ok());
    }
    // A texture that does fit, of the same entry, is not written either.
    if (row.folder == "1" && row.name != "0_0.dds") {
      w.put_dds("1", "0_3.dds", dds_file("", 16, 16, 1, pattern_bytes(1024, 8)));
    }
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ok_line("导入未压缩文件 ", "0.data") + shown(path) + row.message);
    const Bytes after = w.archive();
    ASSERT_EQ(after.size(), w.original.size());
    for (uint32_t n : {1u, 2u}) {
      const Record rec = record_of(w.original, n);
      EXPECT_EQ(record_of(after, n).stored_size, rec.stored_size);
      const auto at = after.begin() + long(rec.payload_offset * 2048);
      const auto was = w.original.begin() + long(rec.payload_offset * 2048);
      EXPECT_TRUE(std::equal(was, was + rec.stored_size, at));
    }
  }
}

// ---------------------------------------------------------------------------
// PNG pictures, written by ImageMagick, compressed by the tool

struct Picture {
  uint32_t width, height;
  Bytes rgba;
};

// Colours along one line of the colour cube, as a block holds them well,
// with alpha rising from top to bottom (or opaque).
Picture painted(uint32_t w, uint32_t h, bool alpha, uint32_t seed) {
  Picture p{w, h, Bytes(size_t(w) * h * 4)};
  const int from[3] = {20, 40, int(200 - seed * 30)}, to[3] = {230, 180, 30};
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* px = &p.rgba[(size_t(y) * w + x) * 4];
      const int t = int((x + y) * 255 / (w + h));
      for (int c = 0; c < 3; ++c) px[c] = uint8_t(from[c] + (to[c] - from[c]) * t / 255);
      px[3] = alpha ? uint8_t(64 + y * 191 / h) : 255;
    }
  }
  return p;
}

// Writes the picture through ImageMagick as the given PNG variant
// ("PNG8 -colorspace Gray": the variant, then options).
bool write_png(const Picture& p, const std::string& variant, const std::string& path) {
  write_file(path + ".rgba", p.rgba);
  const size_t space = variant.find(' ');
  const std::string options = space == std::string::npos ? "" : variant.substr(space);
  const bool ok = convert("-size " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                          " -depth 8 \"rgba:" + path + ".rgba\"" + options + " \"" +
                          variant.substr(0, space) + ":" + path + "\"");
  std::remove((path + ".rgba").c_str());
  return ok;
}

double srgb_to_linear(double v) {
  v /= 255;
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double linear_to_srgb(double v) {
  return 255 * (v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055);
}

// Level k straight from the picture: each pixel the alpha-weighted average
// of the 2^k x 2^k pixels above it, colour averaged as light.
Picture averaged(const Picture& p, uint32_t k) {
  const uint32_t s = 1u << k;
  Picture out{p.width >> k, p.height >> k, Bytes(size_t(p.width >> k) * (p.height >> k) * 4)};
  for (uint32_t y = 0; y < out.height; ++y) {
    for (uint32_t x = 0; x < out.width; ++x) {
      double c[3] = {}, a = 0;
      for (uint32_t dy = 0; dy < s; ++dy) {
        for (uint32_t dx = 0; dx < s; ++dx) {
          const uint8_t* px = &p.rgba[(size_t(y * s + dy) * p.width + x * s + dx) * 4];
          for (int i = 0; i < 3; ++i) c[i] += srgb_to_linear(px[i]) * px[3];
          a += px[3];
        }
      }
      uint8_t* o = &out.rgba[(size_t(y) * out.width + x) * 4];
      for (int i = 0; i < 3; ++i) o[i] = uint8_t(std::lround(linear_to_srgb(c[i] / a)));
      o[3] = uint8_t(std::lround(a / (s * s)));
    }
  }
  return out;
}

// Mean and largest difference per channel byte.
void expect_close(const Bytes& got, const Bytes& want, double mean, int largest,
                  const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double sum = 0;
  int max = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const int d = std::abs(int(got[i]) - int(want[i]));
    sum += d, max = std::max(max, d);
  }
  EXPECT_LE(sum / double(got.size()), mean) << what;
  EXPECT_LE(max, largest) << what;
}

// The levels of a texture's pixel data, decoded one by one.
std::vector<Bytes> decoded_levels(const Bytes& data, uint8_t code, uint32_t w, uint32_t h,
                                  uint32_t levels) {
  std::vector<Bytes> out;
  size_t at = 0;
  for (uint32_t k = 0; k < levels; ++k, w /= 2, h /= 2) {
    out.push_back(decode_to_rgba(code, w, h, data.data() + at, data.size() - at));
    at += size_t(top_level_bytes(code, w, h));
  }
  EXPECT_EQ(at, data.size());
  return out;
}

TEST(TextureImport, PngPicturesBecomeTheTexturesFormatWithItsLevels) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  Workspace w;
  struct Row {
    std::string entry, name;
    uint8_t code;
    uint32_t width, height, levels;
    bool alpha;
    std::string png_options;  // the variant ImageMagick writes
  };
  const Row rows[] = {
      {"1", "0_0.png", kFormatDxt1, 64, 64, 7, false, "PNG48 -colorspace Gray"},  // grey, 16-bit
      {"1", "0_2.PNG", kFormatDxt5, 32, 16, 5, true, "PNG32"},
      {"1", "0_3.png", kFormatArgb8, 16, 16, 1, false, "PNG8"},  // palette
      {"2", "1_0.png", kFormatDxt5, 16, 16, 5, true, "PNG64"}};  // 16-bit with alpha
  std::vector<Picture> pictures;
  std::string expected_out;
  for (const Row& r : rows) {
    Picture p = painted(r.width, r.height, r.alpha, uint32_t(pictures.size()));
    if (r.code == kFormatArgb8) {
      for (size_t i = 0; i < p.rgba.size(); i += 4) {  // few enough colours for a palette
        for (size_t c = 0; c < 3; ++c) p.rgba[i + c] &= 0xF0;
      }
    }
    if (r.png_options.find("Gray") != std::string::npos) {
      for (size_t i = 0; i < p.rgba.size(); i += 4) p.rgba[i + 1] = p.rgba[i + 2] = p.rgba[i];
    }
    const std::string path = w.put_dds(r.entry, r.name, {});
    ASSERT_TRUE(write_png(p, r.png_options, w.dir / path)) << r.name;
    pictures.push_back(std::move(p));
    // Each texture of the sample holds pixels that are not opaque.
    if (r.entry == "1") expected_out += ok_line("导入贴图 ", path);
    if (!r.alpha) {
      expected_out += shown(path) + " 没有透明通道，原贴图有透明部分，已按完全不透明导入！\n";
    }
  }
  expected_out += ok_line("导入贴图 ", "Import/A/Textures/2/1_0.png");
  const RunResult r = w.import();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected_out);
  w.export_all();
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.entry + "/" + row.name);
    const Bytes dds = w.exported("Textures/" + row.entry + "/" + row.name.substr(0, 3) + ".dds");
    ASSERT_GT(dds.size(), 128u);
    const std::vector<Bytes> levels = decoded_levels(Bytes(dds.begin() + 128, dds.end()), row.code,
                                                     row.width, row.height, row.levels);
    ASSERT_EQ(levels.size(), row.levels);
    if (row.code == kFormatArgb8) {
      EXPECT_EQ(levels[0], pictures[i].rgba);
      continue;
    }
    // Each level is held against the picture averaged down by this test. A
    // block of a small level spans much of the gradient, which four colours
    // hold only coarsely.
    for (uint32_t k = 0; k < row.levels; ++k) {
      const Picture want = averaged(pictures[i], k);
      const bool small = want.width * want.height < 64;
      expect_close(levels[k], want.rgba,
                   small    ? 10.0
                   : k == 0 ? 3.0
                            : 5.0,
                   small ? 64 : 32, "level " + std::to_string(k));
    }
  }
}

// A texture exported as DDS, turned into a PNG by ImageMagick, imported and
// exported again comes back as it was, give or take the block compression.
TEST(TextureImport, PngRoundTripThroughImageMagick) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  Workspace w;
  for (const char* name : {"0_0", "0_2", "0_3"}) {
    const std::string dds = w.dir / ("Extracted/A/Textures/1/" + std::string(name) + ".dds");
    const std::string png = w.put_dds("1", std::string(name) + ".png", {});
    ASSERT_TRUE(convert("\"" + dds + "[0]\" \"" + (w.dir / png) + "\""));
  }
  const Bytes before = w.exported("1.data");
  ASSERT_EQ(w.import().status, 0);
  w.export_all();
  const Bytes after = w.exported("1.data");
  for (uint32_t index : {0u, 2u, 3u}) {
    SCOPED_TRACE(index);
    const Pixels was = pixels_of(before, 0, index), is = pixels_of(after, 0, index);
    const uint8_t code = index == 0 ? kFormatDxt1 : index == 2 ? kFormatDxt5 : kFormatArgb8;
    const uint32_t width = index == 0 ? 64 : index == 2 ? 32 : 16;
    const uint32_t height = index == 0 ? 64 : 16;
    const Bytes old_pixels =
        decode_to_rgba(code, width, height, before.data() + was.offset, was.size);
    const Bytes new_pixels = decode_to_rgba(code, width, height, after.data() + is.offset, is.size);
    // The exported blocks hold noise; compressing their decoding again is
    // close but need not give the same blocks.
    if (code == kFormatArgb8) {
      EXPECT_EQ(new_pixels, old_pixels);
    } else {
      expect_close(new_pixels, old_pixels, 12.0, 255, "top level");
    }
  }
}

// The header of a PNG file, its pixels left out: enough for its size.
Bytes png_header(uint32_t width, uint32_t height) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(uint8_t(v >> shift));
  }
  const uint8_t rest[9] = {8, 6, 0, 0, 0, 0, 0, 0, 0};  // RGBA, 8 bits; a CRC of 0
  b.insert(b.end(), rest, rest + 9);
  return b;
}

TEST(TextureImport, PngRefusalsNameTheFileAndLeaveTheEntryAlone) {
  // Texture 2 of entry 1: DXT5 32 wide x 16 high.
  const std::string unreadable = " 应为 32x16 的 PNG 图片，此文件无法读取或已损坏，无法导入！\n";
  const std::string cut_short =
      " 应为 32x16 的 PNG 图片，此文件不完整（在结尾前断了），无法导入！请重新另存为 PNG\n";
  auto other_kind = [](const std::string& kind) {
    return " 应为 32x16 的 PNG 图片，此文件是 " + kind + " 图片，无法导入！请另存为 PNG\n";
  };
  struct Row {
    Bytes bytes;
    std::string message;
  };
  const Bytes right_size = png_header(32, 16);
  // The head's bytes (zeros included), then others up to 64.
  auto starting = [](const std::string& head) {
    Bytes b(head.begin(), head.end());
    b.resize(64, 0x55);
    return b;
  };
  using namespace std::string_literals;
  // An 18-byte TGA header: true colour, 32x16, 32 bits, then pixels.
  const std::string tga = "\0\0\2\0\0\0\0\0\0\0\0\0\x20\0\x10\0\x20\x08"s;
  const std::vector<Row> rows = {
      // A header claiming 30000x30000 is refused on its size alone; the file
      // holds nothing more, so nothing was decoded.
      {png_header(30000, 30000), " 应为 32x16，此图片为 30000x30000，无法导入！\n"},
      {png_header(16, 32), " 应为 32x16，此图片为 16x32，无法导入！\n"},
      {right_size, cut_short},  // the right size, but no pixels and no end
      {text_bytes("not a PNG file, though long enough"), unreadable},
      {starting("RIFF\x10\0\0\0WAVEfmt "s), unreadable},  // a RIFF file but no WebP picture
      {Bytes(right_size.begin(), right_size.begin() + 20), cut_short},
      {Bytes(right_size.begin(), right_size.begin() + 5), cut_short},
      {{}, " 应为 32x16 的 PNG 图片，此文件是空的，无法导入！请另存为 PNG\n"},
      {starting("\xFF\xD8\xFF\xE0"s), other_kind("JPEG")},
      {starting("BM\x36\x08\0\0\0\0\0\0"s), other_kind("BMP")},
      {starting("GIF89a"s), other_kind("GIF")},
      {starting("RIFF\x10\0\0\0WEBPVP8 "s), other_kind("WebP")},
      {starting("8BPS"s), other_kind("PSD")},
      {starting("II*\0"s), other_kind("TIFF")},
      {starting("DDS "s), other_kind("DDS")},
      {starting(tga), other_kind("TGA")}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    Workspace w;
    const std::string path = w.put_dds("1", "0_2.png", row.bytes);
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, shown(path) + row.message);
    EXPECT_EQ(w.archive(), w.original);
  }
}

TEST(TextureImport, PngAndDdsForOneTextureAreBothRefused) {
  Workspace w;
  const std::string dds = w.put_dds("1", "0_2.dds", w.exported("Textures/1/0_2.dds"));
  const std::string png = w.put_dds("1", "00_2.png", png_header(32, 16));
  const RunResult r = w.import();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, shown(png) + " 和 " + shown(dds) + " 是同一张贴图，只能留下一个，无法导入！\n");
  EXPECT_EQ(w.archive(), w.original);
}

// Files that name one texture after the name rules are refused together,
// all of them named (a picture beside a DDS file first, the others in import
// order); that entry is not written, and the entries before and after it are.
TEST(TextureImport, FilesNamingOneTextureAreRefusedTogether) {
  // "<folder>/<name>" under Import/A/Textures, in the order the message names them.
  const std::vector<std::vector<std::string>> rows = {{"001/0_0.png", "1/0_0.png"},
                                                      {"1/00_0.PNG", "1/0_0.png"},
                                                      {"1/0_0.png", "1/0_0.dds"},
                                                      {"001/0_0.dds", "1/00_0.PNG", "1/0_0.png"}};
  for (const std::vector<std::string>& files : rows) {
    SCOPED_TRACE(files.back());
    Workspace w;
    const Bytes entry_before = w.exported("1.data");
    write_file(w.dir / "Import/A/0.data", text_bytes("the first entry, edited"));
    const std::string other = w.put_dds("2", "1_0.dds", w.exported("Textures/2/1_0.dds"));
    const Bytes dds = w.exported("Textures/1/0_0.dds");
    std::string named;
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string& f = files[i];
      const size_t slash = f.find('/');
      const bool is_dds = f.compare(f.size() - 4, 4, ".dds") == 0;
      const std::string path =
          w.put_dds(f.substr(0, slash), f.substr(slash + 1), is_dds ? dds : png_header(64, 64));
      if (i > 0) named += i + 1 == files.size() ? " 和 " : "、";
      named += shown(path);
    }
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ok_line("导入未压缩文件 ", "0.data") + named +
                         " 是同一张贴图，只能留下一个，无法导入！\n" + ok_line("导入贴图 ", other));
    w.export_all();
    EXPECT_EQ(w.exported("1.data"), entry_before);
    EXPECT_EQ(w.exported("0.data"), text_bytes("the first entry, edited"));
  }
}

// An IDAT chunk of length 0 before the pixels (legal, and found by fuzzing
// to make the decoder copy through a null buffer) changes nothing.
TEST(TextureImport, EmptyIdatChunkIsSkipped) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  ScratchDir dir;
  const Picture p = painted(8, 4, true, 0);
  ASSERT_TRUE(write_png(p, "PNG32", dir / "p.png"));
  const Bytes png = read_file(dir / "p.png");
  Bytes with_empty = png;
  const uint8_t empty_idat[12] = {0, 0, 0, 0, 'I', 'D', 'A', 'T', 0x35, 0xAF, 0x06, 0x1E};
  with_empty.insert(with_empty.begin() + 33, empty_idat, empty_idat + 12);  // behind IHDR
  for (const Bytes* file : {&png, static_cast<const Bytes*>(&with_empty)}) {
    const RgbaPixels rgba = decode_png_rgba(file->data(), file->size(), 8, 4);
    ASSERT_NE(rgba, nullptr);
    EXPECT_EQ(Bytes(rgba.get(), rgba.get() + p.rgba.size()), p.rgba);
  }
}

// ---------------------------------------------------------------------------
// Pixel data that inflates to more or less than its header announces

// A zlib stream of `n` zero bytes, built in a few milliseconds however large
// `n` is: one MiB of zeros deflated and flushed with its history dropped
// starts with a literal, so copies of it each inflate to one MiB more.
Bytes zeros_stream(uint64_t n) {
  constexpr size_t kMiB = size_t(1) << 20;
  const Bytes zeros(kMiB, 0);
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 9), Z_OK);
  auto deflate_zeros = [&](size_t count, int flush) {
    Bytes out;
    z.next_in = const_cast<uint8_t*>(zeros.data());
    z.avail_in = uInt(count);
    uint8_t buffer[1 << 16];
    do {
      z.next_out = buffer;
      z.avail_out = sizeof buffer;
      deflate(&z, flush);
      out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    } while (z.avail_out == 0);
    return out;
  };
  Bytes stream = deflate_zeros(0, Z_FULL_FLUSH);  // the zlib header
  const Bytes mib = deflate_zeros(kMiB, Z_FULL_FLUSH);
  for (uint64_t i = 0; i < n / kMiB; ++i) stream.insert(stream.end(), mib.begin(), mib.end());
  const Bytes tail = deflate_zeros(size_t(n % kMiB), Z_FINISH);
  deflateEnd(&z);
  stream.insert(stream.end(), tail.begin(), tail.end());
  // The checksum of all the zeros, in place of the one of the tail alone.
  const uLong mib_adler = adler32(adler32(0, nullptr, 0), zeros.data(), uInt(kMiB));
  uLong adler = adler32(adler32(0, nullptr, 0), zeros.data(), uInt(n % kMiB));
  for (uint64_t i = 0; i < n / kMiB; ++i)
    adler = adler32_combine(mib_adler, adler, z_off_t(n % kMiB + i * kMiB));
  for (int k = 0; k < 4; ++k)
    stream[stream.size() - 4 + size_t(k)] = uint8_t(adler >> (24 - 8 * k));
  return stream;
}

void put_chunk(Bytes* png, const char* type, const Bytes& body) {
  Bytes chunk(8);
  for (int k = 0; k < 4; ++k) chunk[size_t(k)] = uint8_t(body.size() >> (24 - 8 * k));
  std::memcpy(chunk.data() + 4, type, 4);
  chunk.insert(chunk.end(), body.begin(), body.end());
  const uLong crc = crc32(0, chunk.data() + 4, uInt(chunk.size() - 4));
  for (int k = 0; k < 4; ++k) chunk.push_back(uint8_t(crc >> (24 - 8 * k)));
  png->insert(png->end(), chunk.begin(), chunk.end());
}

// An 8-bit RGBA picture of width x height whose IDAT inflates to `raw`
// zero bytes; width * height * 4 + height of them is exactly its rows.
Bytes zero_png(uint32_t width, uint32_t height, uint64_t raw) {
  Bytes png = png_header(width, height);
  png.resize(8);  // the signature; the header chunk follows with its CRC
  Bytes ihdr(13, 0);
  for (int k = 0; k < 4; ++k) {
    ihdr[size_t(k)] = uint8_t(width >> (24 - 8 * k));
    ihdr[size_t(4 + k)] = uint8_t(height >> (24 - 8 * k));
  }
  ihdr[8] = 8, ihdr[9] = 6;  // 8 bits, RGBA
  put_chunk(&png, "IHDR", ihdr);
  put_chunk(&png, "IDAT", zeros_stream(raw));
  put_chunk(&png, "IEND", {});
  return png;
}

TEST(TextureImport, PixelDataMustInflateToTheHeadersSize) {
  constexpr uint64_t kRows = 64 * (1 + 64 * 4);
  struct Row {
    uint64_t raw;
    bool decoded;
  };
  const Row rows[] = {{kRows, true},
                      {kRows - 1, false},
                      {kRows + 1, false},
                      {kRows * 2, false},
                      // 2 GiB from 2 MiB: refused without inflating it all.
                      {uint64_t(2) << 30, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.raw);
    const Bytes png = zero_png(64, 64, row.raw);
    const RgbaPixels rgba = decode_png_rgba(png.data(), png.size(), 64, 64);
    EXPECT_EQ(rgba != nullptr, row.decoded);
    if (rgba != nullptr) {
      EXPECT_EQ(Bytes(rgba.get(), rgba.get() + 64 * 64 * 4), Bytes(64 * 64 * 4, 0));
    }
  }
}

#ifndef _WIN32
// Through the tool, under an address-space limit of 1 GiB: the picture is
// refused as damaged whatever the machine's memory, and the entry stays.
TEST(TextureImport, PictureBombIsRefusedAsDamaged) {
#ifdef LINKDATA_UNDER_SANITIZER
  GTEST_SKIP() << "RLIMIT_AS cannot hold a sanitizer's shadow memory";
#endif
  Workspace w;
  const std::string path = w.put_dds("1", "0_0.png", zero_png(64, 64, uint64_t(2) << 30));
  int fd = -1;
  const int pid = start_tool(
      w.dir.path, {"i", "a"}, {},
      [] {
        const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
      },
      &fd);
  const RunResult r = finish_tool(pid, fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, shown(path) + " 应为 64x64 的 PNG 图片，此文件无法读取或已损坏，无法导入！\n");
  EXPECT_EQ(w.archive(), w.original);
}
#endif

// Interlaced pictures, and rows of fewer than 8 bits a pixel, announce rows
// of their own sizes; pictures that ImageMagick writes so decode as they are.
TEST(TextureImport, InterlacedAndNarrowPicturesDecode) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  ScratchDir dir;
  const char* variants[] = {"PNG32 -interlace PNG",
                            "PNG64 -interlace PNG",
                            "PNG8 -interlace PNG",
                            "PNG -colorspace Gray -depth 1",
                            "PNG -colorspace Gray -depth 2 -interlace PNG",
                            "PNG -colorspace Gray -depth 4 -interlace PNG"};
  for (const char* variant : variants) {
    for (const auto& [width, height] : {std::pair<uint32_t, uint32_t>{13, 7}, {1, 1}, {9, 2}}) {
      SCOPED_TRACE(std::string(variant) + " " + std::to_string(width) + "x" +
                   std::to_string(height));
      Picture p = painted(width, height, false, 0);
      // Black and white, which every variant keeps as it is.
      for (size_t i = 0; i < p.rgba.size(); i += 4) {
        const uint8_t v = ((i / 4) * 7 % 3) == 0 ? 0 : 255;
        p.rgba[i] = p.rgba[i + 1] = p.rgba[i + 2] = v;
      }
      ASSERT_TRUE(write_png(p, variant, dir / "p.png"));
      const Bytes png = read_file(dir / "p.png");
      const RgbaPixels rgba = decode_png_rgba(png.data(), png.size(), width, height);
      ASSERT_NE(rgba, nullptr);
      EXPECT_EQ(Bytes(rgba.get(), rgba.get() + p.rgba.size()), p.rgba);
    }
  }
}

// An 8-bit picture as a PNG file of the given colour type (0 grey, 2 RGB,
// 6 RGBA; `pixels` as many bytes a pixel), its rows stored without
// compression, with a tRNS chunk when one is given.
Bytes stored_png(uint32_t width, uint32_t height, uint8_t colour_type, const Bytes& pixels,
                 const Bytes& trns = {}) {
  const size_t row_bytes = pixels.size() / height;
  Bytes rows;
  rows.reserve(size_t(height) * (1 + row_bytes));
  for (uint32_t y = 0; y < height; ++y) {
    rows.push_back(0);  // no filter
    rows.insert(rows.end(), pixels.begin() + long(y * row_bytes),
                pixels.begin() + long((y + 1) * row_bytes));
  }
  uLongf size = compressBound(uLong(rows.size()));
  Bytes stream(size);
  EXPECT_EQ(compress2(stream.data(), &size, rows.data(), uLong(rows.size()), 0), Z_OK);
  stream.resize(size);
  Bytes png = zero_png(width, height, 0);
  png.resize(8);  // the signature
  const Bytes header = png_header(width, height);
  Bytes ihdr(header.begin() + 16, header.begin() + 29);  // the header chunk's body
  ihdr[9] = colour_type;
  put_chunk(&png, "IHDR", ihdr);
  if (!trns.empty()) put_chunk(&png, "tRNS", trns);
  put_chunk(&png, "IDAT", stream);
  put_chunk(&png, "IEND", {});
  return png;
}

#ifndef _WIN32

// Memory that runs out while a picture is decoded or compressed is told from
// a damaged file and from a file too large to read: import then stops with
// its out-of-memory message.
TEST(TextureImport, PictureThatMemoryCannotHoldIsOutOfMemory) {
#ifdef LINKDATA_UNDER_SANITIZER
  GTEST_SKIP() << "RLIMIT_AS cannot hold a sanitizer's shadow memory";
#endif
  ScratchDir dir;
  // 8192x8192: the picture's rows alone take 256 MiB.
  Bytes content = container({{1, kFormatDxt1, 0xDD}}, 1);
  const Bytes png = zero_png(8192, 8192, uint64_t(8192) * (1 + 8192 * 4));
  write_file(dir / "0_0.png", png);
  TextureFile file;
  file.path = from_utf8(dir / "0_0.png");
  file.png = true;
  const int status = run_with_room(size_t(8) << 20, [&] {
    try {
      patch_textures(content.data(), content.size(), {file});
    } catch (const PictureOutOfMemory&) {
      return 0;
    } catch (...) {
      return 2;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
}

// Ctrl+C while a large picture is compressed: the compression stops between
// rows of blocks, the texture is not written, and the run ends as an
// interrupted import does.
TEST(TextureImport, InterruptedPictureIsNotWritten) {
  ScratchDir dir;
  const Bytes archive = archive_image({compressed_entry(container({{12, kFormatDxt5, 0xBB}}, 1))});
  write_file(dir / kArchive, archive);
  make_dir(dir / "Import");
  make_dir(dir / "Import/A");
  make_dir(dir / "Import/A/Textures");
  make_dir(dir / "Import/A/Textures/0");
  write_file(dir / "Import/A/Textures/0/0_0.png",
             stored_png(2048, 2048, 6, pattern_bytes(size_t(2048) * 2048 * 4, 7)));
  int fd = -1;
  const int pid = start_tool(
      dir.path, {"i", "a"}, {}, [] {}, &fd);
  ASSERT_TRUE(wait_for_deferred_interrupts(pid));
  kill(pid, SIGINT);
  const RunResult r = finish_tool(pid, fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "导入被中断！\n");
  EXPECT_EQ(read_file(dir / kArchive), archive);
}
#endif

// A texture that makes its entry's payload outgrow its slot sends the entry
// to the archive's end, stored plain, on a line of its own; export and the
// listing still find its textures there, with the new pixels.
TEST(TextureImport, EntryAppendedPlainKeepsItsTextures) {
  Bytes content = container({{8, kFormatDxt5, 0x77}, {1, kFormatArgb8, 0x22}}, 30);
  const Pixels at = pixels_of(content, 0, 0);
  std::fill_n(content.begin() + long(at.offset), at.size, 0);  // packs into one write unit
  ScratchDir dir;
  write_file(dir / kArchive,
             archive_image({plain_entry(text_bytes("text")), compressed_entry(content)}));
  Bytes noise(at.size);
  std::mt19937 random(7);
  for (uint8_t& b : noise) b = uint8_t(random());
  make_dir(dir / "Import");
  make_dir(dir / "Import/A");
  make_dir(dir / "Import/A/Textures");
  make_dir(dir / "Import/A/Textures/1");
  const std::string path = "Import/A/Textures/1/0_0.dds";
  write_file(dir / path, dds_file("DXT5", 128, 128, 8, noise));
  const size_t length_before = read_file(dir / kArchive).size();

  const RunResult r = run_tool(dir.path, {"i", "a"});
  const Bytes archive = read_file(dir / kArchive);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "条目 1 导入贴图后放不下原来的位置，已不压缩追加到 LINKDATA_EU_OS_EUNA.A "
            "的末尾，存档增大了 " +
                std::to_string(archive.size() - length_before) + " 字节。\n" +
                ok_line("导入贴图 ", path));
  EXPECT_EQ(record_of(archive, 1).unpacked_size, 0u);
  EXPECT_GE(record_of(archive, 1).payload_offset * 2048, length_before);

  ASSERT_EQ(run_tool(dir.path, {"e", "a", "1", "1", "y"}).status, 0);
  const Bytes dds = read_file(dir / "Extracted/A/Textures/1/0_0.dds");
  ASSERT_GT(dds.size(), 128u);
  EXPECT_EQ(Bytes(dds.begin() + 128, dds.end()), noise);
  ASSERT_EQ(run_tool(dir.path, {"e", "a", "1", "1", "p"}).status, 0);
  const Bytes png = read_file(dir / "Extracted/A/Textures/1/0_0.png");
  const RgbaPixels picture = decode_png_rgba(png.data(), png.size(), 128, 128);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(Bytes(picture.get(), picture.get() + 128 * 128 * 4),
            decode_to_rgba(kFormatDxt5, 128, 128, noise.data(), noise.size()));
  const RunResult listed = run_tool(dir.path, {"l", "a", "1", "1", "y"});
  EXPECT_NE(listed.out.find("\t贴图容器\t0_0 DXT5 128x128 8; 0_1 A8R8G8B8 4x4 1\n"),
            std::string::npos)
      << listed.out;
}

// ---------------------------------------------------------------------------
// DDS files in the layouts that image editors write, decoded and compressed
// into the texture's own format

// A DDS file of plain pixels of `bits` bits with the given channel masks.
Bytes plain_dds(uint32_t bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a, uint32_t width,
                uint32_t height, const Bytes& data) {
  Bytes d = dds_file("", width, height, 1, data);
  store_u32le(&d[80], a != 0 ? 0x41 : 0x40);
  for (const auto& [at, value] :
       {std::pair<size_t, uint32_t>{88, bits}, {92, r}, {96, g}, {100, b}, {104, a}}) {
    store_u32le(&d[at], value);
  }
  return d;
}

// The picture's pixels, `bytes` bytes each, the channels at the given
// offsets (-1: none; the byte then holds junk that a reader must ignore).
Bytes plain_pixels(const Bytes& rgba, int bytes, int r, int g, int b, int a) {
  Bytes out;
  for (size_t i = 0; i < rgba.size(); i += 4) {
    uint8_t px[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    const int at[4] = {r, g, b, a};
    for (int c = 0; c < 4; ++c) {
      if (at[c] >= 0) px[at[c]] = rgba[i + size_t(c)];
    }
    out.insert(out.end(), px, px + bytes);
  }
  return out;
}

double psnr(const Bytes& got, const Bytes& want) {
  EXPECT_EQ(got.size(), want.size());
  double sum = 0;
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    const double d = double(got[i]) - double(want[i]);
    sum += d * d;
  }
  const double mse = sum / double(std::max<size_t>(1, got.size()));
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// How a layout's file is made from a picture, and the pixels it holds for
// a reader that decodes it right.
struct LayoutFile {
  Bytes file;
  Bytes meant;
};

enum class Source { plain, dxt1, dxt3, dxt5 };

struct Layout {
  std::string name;
  Source source;
  bool alpha;
  // Plain pixels: bit count, masks and where each channel lies in a pixel.
  uint32_t bits, masks[4];
  int at[4];
  uint32_t dxgi;         // a DX10 header with this format instead, when not 0
  uint8_t same_as_code;  // the texture format whose bytes it holds (0: none)
};

LayoutFile layout_file(const Layout& l, const Picture& p) {
  const uint32_t w = p.width, h = p.height;
  const std::string dx10 = l.dxgi != 0 ? "DX10" : "";
  if (l.source == Source::plain) {
    Bytes meant = p.rgba;
    if (!l.alpha) {
      for (size_t i = 3; i < meant.size(); i += 4) meant[i] = 255;
    }
    const Bytes pixels = plain_pixels(p.rgba, int(l.bits / 8), l.at[0], l.at[1], l.at[2], l.at[3]);
    if (l.dxgi != 0) return {dds_file("DX10", w, h, 1, pixels, l.dxgi), meant};
    return {plain_dds(l.bits, l.masks[0], l.masks[1], l.masks[2], l.masks[3], w, h, pixels), meant};
  }
  const uint8_t code = l.source == Source::dxt1 ? kFormatDxt1 : kFormatDxt5;
  Bytes blocks(size_t(top_level_bytes(code, w, h)));
  EXPECT_TRUE(encode_blocks(p.rgba.data(), w, h, code, blocks.data()));
  Bytes meant = decode_to_rgba(code, w, h, blocks.data(), blocks.size());
  if (l.source == Source::dxt3) {
    // DXT5's colour halves behind explicit 4-bit alpha, row by row.
    for (size_t b = 0; b < blocks.size(); b += 16) {
      const size_t bx = (b / 16) % (w / 4), by = (b / 16) / (w / 4);
      for (size_t i = 0; i < 16; ++i) {
        const size_t px = ((by * 4 + i / 4) * w + bx * 4 + i % 4) * 4;
        const uint8_t a4 = uint8_t((p.rgba[px + 3] + 8) / 17);
        meant[px + 3] = uint8_t(a4 * 17);
        if (i % 2 == 0) blocks[b + i / 2] = a4;
        if (i % 2 == 1) blocks[b + i / 2] = uint8_t(blocks[b + i / 2] | a4 << 4);
      }
    }
  }
  const std::string four_cc = l.source == Source::dxt1   ? "DXT1"
                              : l.source == Source::dxt3 ? "DXT3"
                                                         : "DXT5";
  return {dds_file(l.dxgi != 0 ? "DX10" : four_cc, w, h, 1, blocks, l.dxgi), meant};
}

// Every layout into each of the three formats it is not: A8R8G8B8 takes the
// file's pixels exactly, DXT1 and DXT5 close to them; a layout without alpha
// makes the texture opaque and says so, once per texture.
TEST(TextureImport, EveryDecodableDdsLayoutBecomesTheTexturesFormat) {
  const int none = -1;
  const Layout layouts[] = {
      {"R8G8B8", Source::plain, false, 24, {0xFF0000, 0xFF00, 0xFF, 0}, {2, 1, 0, none}, 0, 0},
      {"B8G8R8", Source::plain, false, 24, {0xFF, 0xFF00, 0xFF0000, 0}, {0, 1, 2, none}, 0, 0},
      {"X8R8G8B8", Source::plain, false, 32, {0xFF0000, 0xFF00, 0xFF, 0}, {2, 1, 0, none}, 0, 0},
      {"X8B8G8R8", Source::plain, false, 32, {0xFF, 0xFF00, 0xFF0000, 0}, {0, 1, 2, none}, 0, 0},
      {"A8B8G8R8",
       Source::plain,
       true,
       32,
       {0xFF, 0xFF00, 0xFF0000, 0xFF000000},
       {0, 1, 2, 3},
       0,
       0},
      {"A8R8G8B8",
       Source::plain,
       true,
       32,
       {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
       {2, 1, 0, 3},
       0,
       kFormatArgb8},
      {"B8G8R8X8_UNORM", Source::plain, false, 32, {}, {2, 1, 0, none}, 88, 0},
      {"B8G8R8X8_UNORM_SRGB", Source::plain, false, 32, {}, {2, 1, 0, none}, 93, 0},
      {"R8G8B8A8_UNORM", Source::plain, true, 32, {}, {0, 1, 2, 3}, 28, 0},
      {"R8G8B8A8_UNORM_SRGB", Source::plain, true, 32, {}, {0, 1, 2, 3}, 29, 0},
      {"DXT1", Source::dxt1, true, 0, {}, {}, 0, kFormatDxt1},
      {"BC1_UNORM", Source::dxt1, true, 0, {}, {}, 71, kFormatDxt1},
      {"DXT3", Source::dxt3, true, 0, {}, {}, 0, 0},
      {"BC2_UNORM_SRGB", Source::dxt3, true, 0, {}, {}, 75, 0},
      {"DXT5", Source::dxt5, true, 0, {}, {}, 0, kFormatDxt5},
  };
  struct Target {
    std::string name;
    uint8_t code;
    uint32_t width, height;
    double least_psnr;  // 99: the same pixels exactly
  };
  const Target targets[] = {{"0_0.dds", kFormatDxt1, 64, 64, 40},
                            {"0_2.dds", kFormatDxt5, 32, 16, 38},
                            {"0_3.dds", kFormatArgb8, 16, 16, 99}};
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    Workspace w;
    std::string expected_out;
    std::vector<Bytes> meant(std::size(targets));
    for (size_t i = 0; i < std::size(targets); ++i) {
      const Target& t = targets[i];
      if (t.code == layout.same_as_code) continue;  // its bytes are copied, as above
      // DXT1 keeps no graded alpha: its picture is opaque.
      const Picture p =
          painted(t.width, t.height, layout.alpha && t.code != kFormatDxt1, uint32_t(i));
      LayoutFile f = layout_file(layout, p);
      meant[i] = std::move(f.meant);
      const std::string path = w.put_dds("1", t.name, f.file);
      expected_out += ok_line("导入贴图 ", path);
      // Every texture of the sample holds pixels that are not opaque.
      if (!layout.alpha) {
        expected_out += shown(path) + " 没有透明通道，原贴图有透明部分，已按完全不透明导入！\n";
      }
    }
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected_out);
    w.export_all();
    for (size_t i = 0; i < std::size(targets); ++i) {
      const Target& t = targets[i];
      if (meant[i].empty()) continue;
      SCOPED_TRACE(t.name);
      const Bytes dds = w.exported("Textures/1/" + t.name);
      ASSERT_GT(dds.size(), 128u);
      const Bytes top =
          decode_to_rgba(t.code, t.width, t.height, dds.data() + 128, dds.size() - 128);
      EXPECT_GE(psnr(top, meant[i]), t.least_psnr);
    }
  }
}

// A DDS file of the texture's own format that holds fewer levels: those it
// holds go in byte for byte, the others are made from its last level, and
// a line says how many.
TEST(TextureImport, DdsWithFewerLevelsGetsTheRestMade) {
  struct Row {
    std::string name;
    uint8_t code;
    uint32_t width, height, levels;
    uint32_t mip_count, given;  // as the header states it; levels in the file
  };
  const Row rows[] = {{"0_2.dds", kFormatDxt5, 32, 16, 5, 1, 1},  // nvcompress -nomips
                      {"0_2.dds", kFormatDxt5, 32, 16, 5, 3, 3},
                      {"0_0.dds", kFormatDxt1, 64, 64, 7, 0, 1}};  // no count, one level
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + " " + std::to_string(row.given));
    Workspace w;
    const Picture p = painted(row.width, row.height, row.code == kFormatDxt5, 1);
    Bytes given;
    for (uint32_t k = 0; k < row.given; ++k) {
      const Picture level = averaged(p, k);
      Bytes blocks(size_t(top_level_bytes(row.code, level.width, level.height)));
      ASSERT_TRUE(
          encode_blocks(level.rgba.data(), level.width, level.height, row.code, blocks.data()));
      given.insert(given.end(), blocks.begin(), blocks.end());
    }
    const std::string path = w.put_dds("1", row.name,
                                       dds_file(row.code == kFormatDxt1 ? "DXT1" : "DXT5",
                                                row.width, row.height, row.mip_count, given));
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ok_line("导入贴图 ", path) + shown(path) + " 只有 " +
                         std::to_string(row.given) + " 级，其余 " +
                         std::to_string(row.levels - row.given) + " 级已自动生成。\n");
    w.export_all();
    const Bytes dds = w.exported("Textures/1/" + row.name);
    ASSERT_GT(dds.size(), 128 + given.size());
    EXPECT_TRUE(std::equal(given.begin(), given.end(), dds.begin() + 128));
    const std::vector<Bytes> levels = decoded_levels(Bytes(dds.begin() + 128, dds.end()), row.code,
                                                     row.width, row.height, row.levels);
    ASSERT_EQ(levels.size(), row.levels);
    // The made levels halve the last given one, as it decodes.
    const uint32_t last = row.given - 1;
    const Picture from{row.width >> last, row.height >> last, levels[last]};
    for (uint32_t k = row.given; k < row.levels; ++k) {
      const Picture want = averaged(from, k - last);
      expect_close(levels[k], want.rgba, want.width * want.height < 64 ? 10.0 : 5.0, 64,
                   "level " + std::to_string(k));
    }
  }
}

// The picture's grey (its red) or colour channels alone.
Bytes channels_of(const Picture& p, size_t channels) {
  Bytes out;
  for (size_t i = 0; i < p.rgba.size(); i += 4) {
    out.insert(out.end(), &p.rgba[i], &p.rgba[i] + channels);
  }
  return out;
}

// A picture without alpha (grey or colour, no tRNS) put into a texture that
// is not opaque: one warning line after its success line. With alpha, or
// into a texture that is opaque (after the first import), none.
TEST(TextureImport, PictureWithoutAlphaOverTransparencyIsWarnedOf) {
  const Picture p = painted(32, 16, false, 2);
  struct Row {
    std::string what;
    Bytes png;
    bool warned;
  };
  const Bytes rgb = channels_of(p, 3), grey = channels_of(p, 1);
  const Row rows[] = {{"colour", stored_png(32, 16, 2, rgb), true},
                      {"grey", stored_png(32, 16, 0, grey), true},
                      {"colour key", stored_png(32, 16, 2, rgb, {0, 20, 0, 40, 0, 200}), false},
                      {"grey key", stored_png(32, 16, 0, grey, {0, 20}), false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Workspace w;
    const std::string path = w.put_dds("1", "0_2.png", row.png);
    const std::string warning =
        shown(path) + " 没有透明通道，原贴图有透明部分，已按完全不透明导入！\n";
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ok_line("导入贴图 ", path) + (row.warned ? warning : ""));
    if (!row.warned) continue;
    const RunResult again = w.import();
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, ok_line("导入贴图 ", path));
  }
}

// What ImageMagick writes for the choices a player makes: 24-bit pixels for
// a picture without alpha ("none"), another DXT format than the texture's,
// and no further levels. Each goes in, close to the picture.
TEST(TextureImport, ImageMagickDdsChoicesGoIntoAnyTexture) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  struct Row {
    std::string name;
    uint8_t code;
    uint32_t width, height;
    bool alpha;  // ImageMagick writes DXT1 for "dxt5" when a picture has none
    std::string options;
    std::string note;  // the line after the success line, past the path
    double least_psnr;
  };
  const std::string opaque = " 没有透明通道，原贴图有透明部分，已按完全不透明导入！\n";
  const Row rows[] = {
      {"0_0.dds", kFormatDxt1, 64, 64, false, "compression=none -define dds:mipmaps=6", opaque, 40},
      {"0_2.dds", kFormatDxt5, 32, 16, false, "compression=dxt1 -define dds:mipmaps=5", "", 35},
      {"0_3.dds", kFormatArgb8, 16, 16, false, "compression=none -define dds:mipmaps=0", opaque,
       99},
      {"0_3.dds", kFormatArgb8, 16, 16, true, "compression=dxt5 -define dds:mipmaps=4", "", 35},
      {"0_2.dds", kFormatDxt5, 32, 16, true, "compression=dxt5 -define dds:mipmaps=0",
       " 只有 1 级，其余 4 级已自动生成。\n", 35}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + " " + row.options);
    Workspace w;
    const Picture p = painted(row.width, row.height, row.alpha, 3);
    const std::string path = w.put_dds("1", row.name, {});
    ASSERT_TRUE(write_png(p, row.alpha ? "PNG32" : "PNG24", w.dir / "p.png"));
    ASSERT_TRUE(convert("\"" + (w.dir / "p.png") + "\" -define dds:" + row.options + " \"" +
                        (w.dir / path) + "\""));
    const RunResult r = w.import();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ok_line("导入贴图 ", path) + (row.note.empty() ? "" : shown(path) + row.note));
    w.export_all();
    const Bytes dds = w.exported("Textures/1/" + row.name);
    ASSERT_GT(dds.size(), 128u);
    const Bytes top =
        decode_to_rgba(row.code, row.width, row.height, dds.data() + 128, dds.size() - 128);
    EXPECT_GE(psnr(top, p.rgba), row.least_psnr);
  }
}

}  // namespace
}  // namespace linkdata::test
