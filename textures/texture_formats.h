// The texture formats that the tool writes and reads back, one row each:
// everything that depends on a format code is read from this table, so a
// format is added or changed in one place.
#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// The format codes of a container's texture headers that the tool handles.
enum : uint8_t { kFormatArgb8 = 1, kFormatDxt1 = 6, kFormatDxt5 = 8 };

// The pixel layouts of DDS files that import decodes: the three the texture
// formats store (dxt1, dxt5, bgra8), whose bytes can be copied, and the others
// that image editors write (named by their bytes in memory: bgr8 is 24-bit
// blue, green, red), which are decoded to pixels and compressed again.
enum class DdsPixels { dxt1, dxt5, bgra8, dxt3, bgrx8, rgba8, rgbx8, bgr8, rgb8 };

// How a level's pixels are stored: in blocks of side x side pixels (4 for
// the block-compressed formats, 1 for plain pixels) of `bytes` bytes each.
// A partial block at the right or bottom edge takes a whole one.
struct PixelBlocks {
  uint32_t side = 1;
  uint32_t bytes = 0;
};

// The pixel format block of a DDS header, as export writes it and as import
// recognises it: a FourCC (with kDdsPfFourCC) or plain pixels described by
// their bit count and channel masks.
constexpr uint32_t kDdsPfAlphaPixels = 0x1;
constexpr uint32_t kDdsPfFourCC = 0x4;
constexpr uint32_t kDdsPfRgb = 0x40;

struct DdsPixelFormat {
  uint32_t flags = 0;
  char four_cc[4] = {};  // zeros for plain pixels
  uint32_t rgb_bit_count = 0;
  uint32_t r_mask = 0, g_mask = 0, b_mask = 0, a_mask = 0;
};

// A level's pixels to width x height RGBA pixels (4 bytes each, top row
// first), into `rgba`, which holds that many; `level` holds level_bytes.
using DecodeLevel = void (*)(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
// RGBA pixels to a level's pixels (level_bytes of them at `level`), on up to
// `threads` threads. False when an interruption came first
// (platform::interrupt_requested), with the level partly written.
using EncodeLevel = bool (*)(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* level,
                             unsigned threads);

struct TextureFormat {
  uint8_t code = 0;
  const char* name = "";  // as messages, the listing and pictures give it
  PixelBlocks blocks;
  // Whether the container stores the levels below the top one; a format
  // without them holds its top level only, whatever the mip count says.
  bool mip_chain = false;
  // Its layout in DDS files (whose row in the table of DDS layouts holds the
  // DX10 formats that import takes for it), and the pixel format block that
  // export writes for it.
  DdsPixels dds_pixels = DdsPixels::dxt5;
  DdsPixelFormat dds;
  DecodeLevel decode = nullptr;
  EncodeLevel encode = nullptr;
};

// The row of a format code; null for a code the tool does not write.
const TextureFormat* find_texture_format(uint8_t code);

// The rows of a table, for readers that search it (a DDS header's fields).
template <typename Row>
struct TableRows {
  const Row* first;
  const Row* last;
  const Row* begin() const { return first; }
  const Row* end() const { return last; }
};
using TextureFormatRows = TableRows<TextureFormat>;
TextureFormatRows all_texture_formats();

// A pixel layout that a DDS file may hold, as import reads it. `decode` is
// null for a layout that import names in its refusal but cannot decode
// (BC4, BC5, BC7, floating point, ...); blocks.bytes is 0 where the size of
// its levels is not known either.
struct DdsLayoutFormat {
  const char* name = "";  // as refusals name the file's format
  PixelBlocks blocks;
  // How a legacy header states it: a FourCC (a word of letters, or a number
  // as D3D's numbered formats write it), or plain pixels by their bit count
  // and masks; flags 0 for a layout that only a DX10 header states.
  DdsPixelFormat dds;
  // The DXGI formats of a DX10 header that hold these bytes: the plain one
  // and its sRGB variant, which differs only in how a reader interprets the
  // colours (0: none).
  uint32_t dxgi_formats[2] = {};
  DecodeLevel decode = nullptr;
  bool alpha = false;                  // whether its pixels carry alpha
  DdsPixels pixels = DdsPixels::dxt5;  // for a decodable layout
};
TableRows<DdsLayoutFormat> all_dds_layouts();
// The row of a decodable layout (every DdsPixels value has one).
const DdsLayoutFormat& dds_layout_format(DdsPixels pixels);

// The format as the listing and messages name it ("DXT5"); the code in
// decimal for a format the tool does not write.
std::wstring texture_format_label(uint8_t code);

// The bytes of one level of width x height pixels.
uint64_t level_bytes(const PixelBlocks& blocks, uint32_t width, uint32_t height);

// The bytes of a texture's levels as a container stores them, top level
// first: with a mip chain, the levels that the mip count gives, counted
// largest first while both halved sides are >= 1 (the 8-bit rule: mip count
// 1 gives no further level, 0 gives 255). `levels_present`, if given, gets
// how many levels hold bytes.
uint64_t chain_bytes(const PixelBlocks& blocks, uint32_t width, uint32_t height, uint8_t mip_count,
                     uint32_t* levels_present);
uint64_t stored_bytes(const TextureFormat& format, uint32_t width, uint32_t height,
                      uint8_t mip_count, uint32_t* levels_present);

}  // namespace linkdata
