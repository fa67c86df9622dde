// Reading DDS headers written by export and by common image tools.
#include "textures/dds_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/little_endian.h"
#include "textures/dds.h"

namespace linkdata {
namespace {

constexpr uint32_t kPfFourCC = 0x4;
constexpr uint32_t kPfRgb = 0x40;
constexpr uint32_t kCaps2Cubemap = 0x200;
constexpr uint32_t kCaps2Volume = 0x200000;

// DXGI formats that hold the same bytes as the container's formats; the
// sRGB variants differ only in how a reader interprets the colours.
constexpr uint32_t kDxgiBc1 = 71, kDxgiBc1Srgb = 72;
constexpr uint32_t kDxgiBc3 = 77, kDxgiBc3Srgb = 78;
constexpr uint32_t kDxgiBgra8 = 87, kDxgiBgra8Srgb = 91;
constexpr uint32_t kDimensionTexture2d = 3;
constexpr uint32_t kMiscTextureCube = 0x4;

bool four_cc_is(const uint8_t* at, const char* code) { return std::memcmp(at, code, 4) == 0; }

DdsHeaderStatus read_dx10(const uint8_t* data, size_t size, DdsLayout* out) {
  if (size < kDdsDx10HeaderSize) return DdsHeaderStatus::cut_short;
  switch (load_u32le(data + 128)) {
    case kDxgiBc1:
    case kDxgiBc1Srgb:
      out->pixels = DdsPixels::dxt1;
      break;
    case kDxgiBc3:
    case kDxgiBc3Srgb:
      out->pixels = DdsPixels::dxt5;
      break;
    case kDxgiBgra8:
    case kDxgiBgra8Srgb:
      out->pixels = DdsPixels::bgra8;
      break;
    default:
      return DdsHeaderStatus::not_accepted;
  }
  // One plain 2-D texture: no cube, no array.
  if (load_u32le(data + 132) != kDimensionTexture2d ||
      (load_u32le(data + 136) & kMiscTextureCube) != 0 || load_u32le(data + 140) != 1) {
    return DdsHeaderStatus::not_accepted;
  }
  out->data_offset = kDdsDx10HeaderSize;
  return DdsHeaderStatus::ok;
}

bool same_pixels(DdsPixels p, uint8_t format_code) {
  switch (format_code) {
    case kFormatArgb8:
      return p == DdsPixels::bgra8;
    case kFormatDxt1:
      return p == DdsPixels::dxt1;
    case kFormatDxt5:
      return p == DdsPixels::dxt5;
    default:
      return false;
  }
}

}  // namespace

DdsHeaderStatus read_dds_header(const uint8_t* data, size_t size, DdsLayout* out) {
  if (data == nullptr || size < 4 || std::memcmp(data, "DDS ", 4) != 0) {
    return DdsHeaderStatus::not_accepted;
  }
  if (size < kDdsHeaderSize) return DdsHeaderStatus::cut_short;
  if (load_u32le(data + kOffSize) != 124 || load_u32le(data + kOffPfSize) != 32) {
    return DdsHeaderStatus::not_accepted;
  }
  if ((load_u32le(data + kOffCaps2) & (kCaps2Cubemap | kCaps2Volume)) != 0) {
    return DdsHeaderStatus::not_accepted;
  }
  DdsLayout d;
  d.height = load_u32le(data + kOffHeight);
  d.width = load_u32le(data + kOffWidth);
  d.mip_count = load_u32le(data + kOffMipMapCount);
  d.data_offset = kDdsHeaderSize;
  const uint32_t pf_flags = load_u32le(data + kOffPfFlags);
  const uint8_t* four_cc = data + kOffPfFourCC;
  if ((pf_flags & kPfFourCC) != 0) {
    if (four_cc_is(four_cc, "DXT1")) {
      d.pixels = DdsPixels::dxt1;
    } else if (four_cc_is(four_cc, "DXT5")) {
      d.pixels = DdsPixels::dxt5;
    } else if (four_cc_is(four_cc, "DX10")) {
      const DdsHeaderStatus s = read_dx10(data, size, &d);
      if (s != DdsHeaderStatus::ok) return s;
    } else {
      return DdsHeaderStatus::not_accepted;
    }
  } else if ((pf_flags & kPfRgb) != 0 && load_u32le(data + kOffPfRgbBitCount) == 32 &&
             load_u32le(data + kOffPfRMask) == 0x00FF0000 &&
             load_u32le(data + kOffPfGMask) == 0x0000FF00 &&
             load_u32le(data + kOffPfBMask) == 0x000000FF &&
             load_u32le(data + kOffPfAMask) == 0xFF000000) {
    d.pixels = DdsPixels::bgra8;
  } else {
    return DdsHeaderStatus::not_accepted;
  }
  *out = d;
  return DdsHeaderStatus::ok;
}

DdsFit dds_fits_texture(const DdsLayout& dds, uint64_t file_size, const TextureDescription& t) {
  if (!same_pixels(dds.pixels, t.format_code) || dds.width != t.width || dds.height != t.height) {
    return DdsFit::mismatch;
  }
  // The container's levels are the file's first levels, byte for byte: each
  // level that the container counts has both sides at least 1, where the
  // container's and the file's level sizes agree. A file that states no
  // count (0, as export writes it for a stored mip count of 0) is judged by
  // its bytes alone.
  if (dds.mip_count != 0 && dds.mip_count < t.levels_present) return DdsFit::incomplete;
  if (file_size < dds.data_offset || file_size - dds.data_offset < t.data_size) {
    return DdsFit::incomplete;
  }
  return DdsFit::fits;
}

const wchar_t* pixels_name(DdsPixels pixels) {
  switch (pixels) {
    case DdsPixels::dxt1:
      return L"DXT1";
    case DdsPixels::dxt5:
      return L"DXT5";
    case DdsPixels::bgra8:
      break;
  }
  return L"A8R8G8B8";
}

const wchar_t* format_name(uint8_t format_code) {
  return pixels_name(format_code == kFormatDxt1   ? DdsPixels::dxt1
                     : format_code == kFormatDxt5 ? DdsPixels::dxt5
                                                  : DdsPixels::bgra8);
}

uint32_t dds_levels_held(const DdsLayout& dds, uint64_t file_size) {
  // A DDS file's levels go down to 1x1, each side at least 1.
  uint32_t chain = 1;
  while (chain < 32 && ((dds.width >> chain) != 0 || (dds.height >> chain) != 0)) ++chain;
  const uint32_t stated = dds.mip_count == 0 ? chain : std::min(dds.mip_count, chain);
  uint64_t left = file_size < dds.data_offset ? 0 : file_size - dds.data_offset;
  for (uint32_t level = 0; level < stated; ++level) {
    const uint64_t w = std::max<uint64_t>(1, dds.width >> level);
    const uint64_t h = std::max<uint64_t>(1, dds.height >> level);
    const uint64_t bytes =
        dds.pixels == DdsPixels::bgra8
            ? w * h * 4
            : ((w + 3) / 4) * ((h + 3) / 4) * (dds.pixels == DdsPixels::dxt1 ? 8 : 16);
    if (bytes > left) return level;
    left -= bytes;
  }
  return stated;
}

}  // namespace linkdata
