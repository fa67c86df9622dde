// The table of texture formats.
#include "textures/texture_formats.h"

#include <iterator>
#include <string>

#include "textures/texture_encode.h"
#include "textures/texture_pixels.h"

namespace linkdata {
namespace {

// The DDS pixel formats of the three texture formats, shared by the two
// tables: export writes them, import recognises them.
constexpr DdsPixelFormat kDdsArgb8{kDdsPfRgb | kDdsPfAlphaPixels,
                                   {0, 0, 0, 0},
                                   32,
                                   0x00FF0000,
                                   0x0000FF00,
                                   0x000000FF,
                                   0xFF000000};
constexpr DdsPixelFormat kDdsDxt1{kDdsPfFourCC, {'D', 'X', 'T', '1'}};
constexpr DdsPixelFormat kDdsDxt5{kDdsPfFourCC, {'D', 'X', 'T', '5'}};

// One row per format code; see TextureFormat for the fields. A8R8G8B8:
// plain pixels of 4 bytes, the top level only, written as 32-bit pixels by
// their channel masks (blue, green, red, alpha bytes in memory). DXT1 (BC1):
// 4x4 blocks of 8 bytes; DXT5 (BC3): of 16 bytes.
const TextureFormat kFormats[] = {
    {kFormatArgb8, "A8R8G8B8", PixelBlocks{1, 4}, false, DdsPixels::bgra8, kDdsArgb8,
     decode_argb8_level, encode_argb8_level},
    {kFormatDxt1, "DXT1", PixelBlocks{4, 8}, true, DdsPixels::dxt1, kDdsDxt1, decode_dxt1_level,
     encode_dxt1_level},
    {kFormatDxt5, "DXT5", PixelBlocks{4, 16}, true, DdsPixels::dxt5, kDdsDxt5, decode_dxt5_level,
     encode_dxt5_level},
};

constexpr DdsPixelFormat four_cc(char a, char b, char c, char d) {
  return DdsPixelFormat{kDdsPfFourCC, {a, b, c, d}};
}
// D3D's numbered formats stand in the FourCC field as a little-endian number.
constexpr DdsPixelFormat numbered(uint8_t code) {
  return DdsPixelFormat{kDdsPfFourCC, {char(code), 0, 0, 0}};
}
constexpr DdsPixelFormat masks(uint32_t bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return DdsPixelFormat{
      a != 0 ? kDdsPfRgb | kDdsPfAlphaPixels : kDdsPfRgb, {0, 0, 0, 0}, bits, r, g, b, a};
}
constexpr DdsPixelFormat kOnlyDx10{};

// What image editors write into DDS files: first the layouts import decodes,
// then those it names when it refuses them. The sRGB variant of a DXGI format
// holds the same bytes; import takes both as they are, as for a PNG.
const DdsLayoutFormat kDdsLayouts[] = {
    // BC1_UNORM, BC1_UNORM_SRGB; BC3; B8G8R8A8.
    {"DXT1", {4, 8}, kDdsDxt1, {71, 72}, decode_dxt1_level, true, DdsPixels::dxt1},
    {"DXT5", {4, 16}, kDdsDxt5, {77, 78}, decode_dxt5_level, true, DdsPixels::dxt5},
    {"A8R8G8B8", {1, 4}, kDdsArgb8, {87, 91}, decode_argb8_level, true, DdsPixels::bgra8},
    {"DXT3",
     {4, 16},
     four_cc('D', 'X', 'T', '3'),
     {74, 75},
     decode_dxt3_level,
     true,
     DdsPixels::dxt3},
    // B8G8R8X8 in DXGI's words: the fourth byte is unused.
    {"X8R8G8B8",
     {1, 4},
     masks(32, 0xFF0000, 0xFF00, 0xFF, 0),
     {88, 93},
     decode_bgrx8_level,
     false,
     DdsPixels::bgrx8},
    // R8G8B8A8 in DXGI's words.
    {"A8B8G8R8",
     {1, 4},
     masks(32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000),
     {28, 29},
     decode_rgba8_level,
     true,
     DdsPixels::rgba8},
    {"X8B8G8R8",
     {1, 4},
     masks(32, 0xFF, 0xFF00, 0xFF0000, 0),
     {},
     decode_rgbx8_level,
     false,
     DdsPixels::rgbx8},
    {"R8G8B8",
     {1, 3},
     masks(24, 0xFF0000, 0xFF00, 0xFF, 0),
     {},
     decode_bgr8_level,
     false,
     DdsPixels::bgr8},
    {"B8G8R8",
     {1, 3},
     masks(24, 0xFF, 0xFF00, 0xFF0000, 0),
     {},
     decode_rgb8_level,
     false,
     DdsPixels::rgb8},
    // Premultiplied alpha, which the game's textures never hold.
    {"DXT2", {4, 16}, four_cc('D', 'X', 'T', '2'), {}},
    {"DXT4", {4, 16}, four_cc('D', 'X', 'T', '4'), {}},
    {"BC4", {4, 8}, four_cc('A', 'T', 'I', '1'), {80, 81}},
    {"BC4", {4, 8}, four_cc('B', 'C', '4', 'U'), {}},
    {"BC4", {4, 8}, four_cc('B', 'C', '4', 'S'), {}},
    {"BC5", {4, 16}, four_cc('A', 'T', 'I', '2'), {83, 84}},
    {"BC5", {4, 16}, four_cc('B', 'C', '5', 'U'), {}},
    {"BC5", {4, 16}, four_cc('B', 'C', '5', 'S'), {}},
    {"BC6H", {4, 16}, kOnlyDx10, {95, 96}},
    {"BC7", {4, 16}, kOnlyDx10, {98, 99}},
    {"R16G16B16A16_FLOAT", {1, 8}, numbered(113), {10}},
    {"R32G32B32A32_FLOAT", {1, 16}, numbered(116), {2}},
    {"R16G16B16A16_UNORM", {1, 8}, numbered(36), {11}},
    {"R16_FLOAT", {1, 2}, numbered(111), {54}},
    {"R16G16_FLOAT", {1, 4}, numbered(112), {34}},
    {"R32_FLOAT", {1, 4}, numbered(114), {41}},
    {"R32G32_FLOAT", {1, 8}, numbered(115), {16}},
    {"R10G10B10A2_UNORM", {1, 4}, kOnlyDx10, {24}},
    {"B5G6R5_UNORM", {1, 2}, kOnlyDx10, {85}},
    {"B5G5R5A1_UNORM", {1, 2}, kOnlyDx10, {86}},
    {"B4G4R4A4_UNORM", {1, 2}, kOnlyDx10, {115}},
    {"R8_UNORM", {1, 1}, kOnlyDx10, {61}},
    {"R8G8_UNORM", {1, 2}, kOnlyDx10, {49}},
    {"A8_UNORM", {1, 1}, kOnlyDx10, {65}},
};

}  // namespace

const TextureFormat* find_texture_format(uint8_t code) {
  for (const TextureFormat& f : kFormats) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

TextureFormatRows all_texture_formats() {
  return TextureFormatRows{std::begin(kFormats), std::end(kFormats)};
}

TableRows<DdsLayoutFormat> all_dds_layouts() {
  return TableRows<DdsLayoutFormat>{std::begin(kDdsLayouts), std::end(kDdsLayouts)};
}

const DdsLayoutFormat& dds_layout_format(DdsPixels pixels) {
  for (const DdsLayoutFormat& f : kDdsLayouts) {
    if (f.decode != nullptr && f.pixels == pixels) return f;
  }
  return kDdsLayouts[0];  // not reached: every layout has its row
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
