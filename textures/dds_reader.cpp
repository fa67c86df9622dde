// Reading DDS headers written by export and by common image tools.
#include "textures/dds_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/little_endian.h"
#include "textures/dds.h"

namespace linkdata {
namespace {

constexpr uint32_t kCaps2Cubemap = 0x200;
constexpr uint32_t kCaps2Volume = 0x200000;

constexpr uint32_t kDimensionTexture2d = 3;
constexpr uint32_t kMiscTextureCube = 0x4;

// The row whose DXGI formats (plain or sRGB) include `dxgi`; null for none.
const TextureFormat* format_of_dxgi(uint32_t dxgi) {
  for (const TextureFormat& f : all_texture_formats()) {
    if (f.dxgi_formats[0] == dxgi || f.dxgi_formats[1] == dxgi) return &f;
  }
  return nullptr;
}

// The row that a FourCC names; null for none.
const TextureFormat* format_of_four_cc(const uint8_t* four_cc) {
  for (const TextureFormat& f : all_texture_formats()) {
    if ((f.dds.flags & kDdsPfFourCC) != 0 && std::memcmp(four_cc, f.dds.four_cc, 4) == 0) {
      return &f;
    }
  }
  return nullptr;
}

// The row of plain pixels with this bit count and these masks; null for none.
const TextureFormat* format_of_masks(const uint8_t* data) {
  for (const TextureFormat& f : all_texture_formats()) {
    const DdsPixelFormat& pf = f.dds;
    if ((pf.flags & kDdsPfFourCC) == 0 &&
        load_u32le(data + kOffPfRgbBitCount) == pf.rgb_bit_count &&
        load_u32le(data + kOffPfRMask) == pf.r_mask &&
        load_u32le(data + kOffPfGMask) == pf.g_mask &&
        load_u32le(data + kOffPfBMask) == pf.b_mask &&
        load_u32le(data + kOffPfAMask) == pf.a_mask) {
      return &f;
    }
  }
  return nullptr;
}

DdsHeaderStatus read_dx10(const uint8_t* data, size_t size, DdsLayout* out) {
  if (size < kDdsDx10HeaderSize) return DdsHeaderStatus::cut_short;
  const TextureFormat* format = format_of_dxgi(load_u32le(data + 128));
  if (format == nullptr) return DdsHeaderStatus::not_accepted;
  out->pixels = format->dds_pixels;
  // One plain 2-D texture: no cube, no array.
  if (load_u32le(data + 132) != kDimensionTexture2d ||
      (load_u32le(data + 136) & kMiscTextureCube) != 0 || load_u32le(data + 140) != 1) {
    return DdsHeaderStatus::not_accepted;
  }
  out->data_offset = kDdsDx10HeaderSize;
  return DdsHeaderStatus::ok;
}

bool same_pixels(DdsPixels p, uint8_t format_code) {
  const TextureFormat* format = find_texture_format(format_code);
  return format != nullptr && format->dds_pixels == p;
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
  const bool has_four_cc = (pf_flags & kDdsPfFourCC) != 0;
  if (has_four_cc && std::memcmp(four_cc, "DX10", 4) == 0) {
    const DdsHeaderStatus s = read_dx10(data, size, &d);
    if (s != DdsHeaderStatus::ok) return s;
  } else {
    const TextureFormat* format = has_four_cc                   ? format_of_four_cc(four_cc)
                                  : (pf_flags & kDdsPfRgb) != 0 ? format_of_masks(data)
                                                                : nullptr;
    if (format == nullptr) return DdsHeaderStatus::not_accepted;
    d.pixels = format->dds_pixels;
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

std::wstring pixels_name(DdsPixels pixels) {
  return texture_format_label(texture_format_of(pixels).code);
}

uint32_t dds_levels_held(const DdsLayout& dds, uint64_t file_size) {
  // A DDS file's levels go down to 1x1, each side at least 1.
  uint32_t chain = 1;
  while (chain < 32 && ((dds.width >> chain) != 0 || (dds.height >> chain) != 0)) ++chain;
  const uint32_t stated = dds.mip_count == 0 ? chain : std::min(dds.mip_count, chain);
  uint64_t left = file_size < dds.data_offset ? 0 : file_size - dds.data_offset;
  const PixelBlocks& blocks = texture_format_of(dds.pixels).blocks;
  for (uint32_t level = 0; level < stated; ++level) {
    const uint64_t w = std::max<uint64_t>(1, dds.width >> level);
    const uint64_t h = std::max<uint64_t>(1, dds.height >> level);
    const uint64_t bytes = level_bytes(blocks, uint32_t(w), uint32_t(h));
    if (bytes > left) return level;
    left -= bytes;
  }
  return stated;
}

}  // namespace linkdata
